// zuva-replay: runs the daemon's own code on simulated devices fed from a
// recorded transport stream.
//
//   zuva-replay --list RECORDING.ts
//       For every program of the recording's PAT, runs the daemon's PAT/PMT
//       scan and prints its log, so one sees which subtitle streams the
//       daemon would find and how it reads them.
//
//   zuva-replay [options] RECORDING.ts
//       Plays the recording through the unchanged daemon, acting as the box's
//       plugin, and writes what a viewer would see.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "sim/replay.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "stream/pmt_loader.h"

namespace {

const char kUsage[] =
    "Usage: zuva-replay [options] RECORDING.ts\n"
    "       zuva-replay --list RECORDING.ts\n"
    "\n"
    "Plays a recorded transport stream through the unchanged zuva daemon on a\n"
    "simulated demultiplexer and framebuffer, writing the status file as the\n"
    "box's plugin does. The daemon's log goes to standard error.\n"
    "\n"
    "  --list              for every program of the PAT, run the daemon's PAT/PMT\n"
    "                      scan and print its log on standard output\n"
    "  --service SID       the service to play (default: the first program)\n"
    "  --change SEC:SID    switch to service SID at SEC seconds of replay time, by\n"
    "                      rewriting the status file (repeatable)\n"
    "  --config FILE       settings file (default: OSDMessages 1 and DejaVu Sans)\n"
    "  --channels FILE     external channels file (default: none)\n"
    "  --translation FILE  translation file (default: the project's\n"
    "                      data/zuva.translation)\n"
    "  --set KEY=VALUE     one settings line on top of the settings file\n"
    "                      (repeatable), e.g. --set Language=fra\n"
    "  --speed X           replay speed factor (default 1); 'max' runs as fast\n"
    "                      as the daemon's own timing allows\n"
    "  --rate BITS         bits per second at which a recording without PCR or PTS\n"
    "                      is placed by byte position (default 4000000)\n"
    "  --frames DIR        a PNG of the screen after every drawing sequence that\n"
    "                      changed it, and DIR/frames.tsv listing them\n"
    "  --srt FILE          the subtitles shown, as SubRip\n"
    "  --bpp 32|8          framebuffer depth (default 32)\n"
    "  --aspect N          the status file's aspect line (default 2, 16:9)\n"
    "  --playback          mark the service as a recording being played back\n"
    "                      (the status file's Seekable line), so RecDelay applies\n"
    "  --dvb               start the DVB decoder on an announced DVB stream\n"
    "  --workdir DIR       keep the daemon's files (settings, status) in DIR\n"
    "  --tail SEC          replay time to go on after the recording ends (default 1)\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 when played, 1 when the recording cannot be read,\n"
    "2 on a usage error.\n";

struct ToolOptions {
  bool help = false;
  bool list = false;
  replay::Options play;
};

bool ParseNumber(const std::string& text, double& out) {
  char* end = nullptr;
  out = strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0';
}

bool ParseInt(const std::string& text, int& out) {
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 0);
  if (text.empty() || end == nullptr || *end != '\0' || value < -1 || value > 0xFFFF) return false;
  out = static_cast<int>(value);
  return true;
}

// False with a message in `error` on a usage error.
bool ParseArguments(int argc, char** argv, ToolOptions& options, std::string& error) {
  replay::Options& play = options.play;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--service") {
      if (!value(v)) return false;
      if (!ParseInt(v, play.service) || play.service < 0) {
        error = "--service takes a service id";
        return false;
      }
    } else if (arg == "--change") {
      if (!value(v)) return false;
      const auto colon = v.find(':');
      replay::ServiceChange change{};
      if (colon == std::string::npos || !ParseNumber(v.substr(0, colon), change.atSeconds) ||
          !ParseInt(v.substr(colon + 1), change.sid) || change.sid < 0) {
        error = "--change takes SECONDS:SID";
        return false;
      }
      play.changes.push_back(change);
    } else if (arg == "--config") {
      if (!value(play.configFile)) return false;
    } else if (arg == "--channels") {
      if (!value(play.channelsFile)) return false;
    } else if (arg == "--translation") {
      if (!value(play.translationFile)) return false;
    } else if (arg == "--set") {
      if (!value(v)) return false;
      const auto eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || v.find('\n') != std::string::npos) {
        error = "--set takes KEY=VALUE";
        return false;
      }
      play.settings.push_back(v.substr(0, eq) + " " + v.substr(eq + 1));
    } else if (arg == "--speed") {
      if (!value(v)) return false;
      if (v == "max") {
        play.speed = 0;
      } else if (!ParseNumber(v, play.speed) || play.speed <= 0 || play.speed > 10000) {
        error = "--speed takes a factor above 0 or 'max'";
        return false;
      }
    } else if (arg == "--rate") {
      if (!value(v)) return false;
      double rate = 0;
      if (!ParseNumber(v, rate) || rate < 1000 || rate > 1e10) {
        error = "--rate takes bits per second (1000 or more)";
        return false;
      }
      play.bitRate = static_cast<int64_t>(rate);
    } else if (arg == "--frames") {
      if (!value(play.framesDir)) return false;
    } else if (arg == "--srt") {
      if (!value(play.srtFile)) return false;
    } else if (arg == "--bpp") {
      if (!value(v)) return false;
      if (v != "32" && v != "8") {
        error = "--bpp takes 32 or 8";
        return false;
      }
      play.bitsPerPixel = std::stoi(v);
    } else if (arg == "--aspect") {
      if (!value(v)) return false;
      if (!ParseInt(v, play.aspect)) {
        error = "--aspect takes a number";
        return false;
      }
    } else if (arg == "--playback") {
      play.playback = true;
    } else if (arg == "--dvb") {
      play.dvb = true;
    } else if (arg == "--workdir") {
      if (!value(play.workDir)) return false;
    } else if (arg == "--tail") {
      if (!value(v)) return false;
      if (!ParseNumber(v, play.tailSeconds) || play.tailSeconds < 0) {
        error = "--tail takes seconds";
        return false;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (play.recording.empty()) {
      play.recording = arg;
    } else {
      error = "more than one recording given";
      return false;
    }
  }
  if (!options.help && play.recording.empty()) {
    error = "no recording given";
    return false;
  }
  return true;
}

void WriteToStdout(const char* text, void*) { std::fputs(text, stdout); }

int ListRecording(const std::string& path, int64_t bitRate) {
  VirtualClock clock;  // the scan's waits cost no real time
  SimDemuxOptions demuxOptions;
  if (bitRate > 0) demuxOptions.nominalBitRate = bitRate;
  SimDemux demux(&clock, demuxOptions);
  SimDeviceIO io;
  Platform platform;
  platform.io = &io;
  platform.clock = &clock;
  std::string error;
  if (!demux.Load(path, &error)) {
    std::fprintf(stderr, "zuva-replay: cannot read recording %s: %s\n", path.c_str(),
                 error.c_str());
    return 1;
  }
  std::fputs(replay::ClockNote(demux.Recording()).c_str(), stderr);
  io.Attach(platform.paths.demux, &demux);
  std::vector<replay::Program> programs;
  if (!replay::FindPrograms(demux.Recording(), programs)) {
    std::fprintf(stderr, "zuva-replay: cannot read recording %s: no intact PAT in it\n",
                 path.c_str());
    return 1;
  }
  if (programs.empty()) std::printf("The PAT lists no programs.\n");

  LogCapture capture;
  PMTLoader loader(platform);
  capture.Clear();  // the loader's creation line is not part of a scan
  capture.SetSink(WriteToStdout, nullptr);
  for (const replay::Program& program : programs) {
    std::printf("Program %d (0x%04x), PMT PID 0x%04x\n", program.number, program.number,
                program.pmtPid);
    demux.Rewind();  // every scan sees the recording from its start
    const int result = loader.GetAllPIDs(program.number, program.pmtPid);
    std::printf("GetAllPIDs returned %d\n\n", result);
  }
  std::fflush(stdout);
  return 0;
}

int Play(const replay::Options& options) {
  const replay::Result result = replay::Run(options);
  if (result.status != 0) {
    std::fprintf(stderr, "zuva-replay: %s\n", result.error.c_str());
    return result.status;
  }
  std::fprintf(stderr, "zuva-replay: played %s to %.1f s: %zu frames, %zu subtitles\n",
               options.recording.c_str(), static_cast<double>(result.endMs) / 1000.0,
               result.frames.size(), result.srt.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ToolOptions options;
  std::string error;
  if (!ParseArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "zuva-replay: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.list) return ListRecording(options.play.recording, options.play.bitRate);
  return Play(options.play);
}
