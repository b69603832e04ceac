// zuva-replay: runs the daemon's own code on simulated devices fed from a
// recorded transport stream.
//
//   zuva-replay --list RECORDING.ts
//       For every program of the recording's PAT, runs the daemon's PAT/PMT
//       scan and prints its log, so one sees which subtitle streams the
//       daemon would find and how it reads them.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/log.h"
#include "platform/platform.h"
#include "sim/section_assembler.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "platform/clock.h"
#include "stream/pmt_loader.h"

namespace {

const char kUsage[] =
    "Usage: zuva-replay --list RECORDING.ts\n"
    "\n"
    "  --list      for every program of the recording's PAT, run the daemon's\n"
    "              PAT/PMT scan on a simulated demultiplexer playing the\n"
    "              recording and print the daemon's log lines (each starting\n"
    "              with \"ZUVA: \") on standard output, followed by the scan's\n"
    "              result. Errors go to standard error.\n"
    "  -h, --help  show this text\n"
    "\n"
    "Exit status: 0 on success, 1 when the recording cannot be read,\n"
    "2 on a usage error.\n";

struct ReplayOptions {
  bool help = false;
  bool list = false;
  std::string recording;
};

// False with a message in `error` on a usage error.
bool ParseArguments(int argc, char** argv, ReplayOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (options.recording.empty()) {
      options.recording = arg;
    } else {
      error = "more than one recording given";
      return false;
    }
  }
  if (!options.help && options.recording.empty()) {
    error = "no recording given";
    return false;
  }
  if (!options.help && !options.list) {
    error = "nothing to do: playback is not available yet, use --list";
    return false;
  }
  return true;
}

// The simulated machine the daemon's code runs on: the demultiplexer playing
// the recording, served at the box's demux path, with the other paths left
// as on the box.
struct SimulatedBox {
  explicit SimulatedBox(Clock* clock) : demux(clock) {
    platform.io = &io;
    platform.clock = clock;
  }
  SimDemux demux;
  SimDeviceIO io;
  Platform platform;
};

bool SetUpDevices(const std::string& recording, SimulatedBox& box, std::string* error) {
  if (!box.demux.Load(recording, error)) return false;
  box.io.Attach(box.platform.paths.demux, &box.demux);
  return true;
}

struct Program {
  int number;
  int pmtPid;
};

// The programs of the first intact PAT in the recording, network entry left
// out. False when the recording carries no such PAT.
bool FindPrograms(const TSRecording& recording, std::vector<Program>& programs) {
  SectionAssembler assembler;
  std::vector<uint8_t> pat;
  for (uint32_t index : recording.PacketsOf(0)) {
    assembler.Push(recording.Packet(index), [&](const uint8_t* section, size_t length) {
      if (pat.empty() && length >= 12 && section[0] == 0x00 && Crc32Mpeg(section, length) == 0) {
        pat.assign(section, section + length);
      }
    });
    if (!pat.empty()) break;
  }
  if (pat.empty()) return false;
  const size_t crcStart = pat.size() - 4;
  for (size_t offset = 8; offset + 4 <= crcStart; offset += 4) {
    const int number = (pat[offset] << 8) | pat[offset + 1];
    const int pid = ((pat[offset + 2] << 8) | pat[offset + 3]) & 0x1FFF;
    if (number != 0) programs.push_back({number, pid});
  }
  return true;
}

void WriteToStdout(const char* text, void*) { std::fputs(text, stdout); }

int ListRecording(const std::string& path) {
  VirtualClock clock;  // the scan's waits cost no real time
  SimulatedBox box(&clock);
  std::string error;
  if (!SetUpDevices(path, box, &error)) {
    std::fprintf(stderr, "zuva-replay: cannot read recording %s: %s\n", path.c_str(),
                 error.c_str());
    return 1;
  }
  std::vector<Program> programs;
  if (!FindPrograms(box.demux.Recording(), programs)) {
    std::fprintf(stderr, "zuva-replay: cannot read recording %s: no intact PAT in it\n",
                 path.c_str());
    return 1;
  }
  if (programs.empty()) std::printf("The PAT lists no programs.\n");

  LogCapture capture;
  PMTLoader loader(box.platform);
  capture.Clear();  // the loader's creation line is not part of a scan
  capture.SetSink(WriteToStdout, nullptr);
  for (const Program& program : programs) {
    std::printf("Program %d (0x%04x), PMT PID 0x%04x\n", program.number, program.number,
                program.pmtPid);
    box.demux.Rewind();  // every scan sees the recording from its start
    const int result = loader.GetAllPIDs(program.number, program.pmtPid);
    std::printf("GetAllPIDs returned %d\n\n", result);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ReplayOptions options;
  std::string error;
  if (!ParseArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "zuva-replay: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return ListRecording(options.recording);
}
