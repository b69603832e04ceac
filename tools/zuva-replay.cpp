// zuva-replay: runs the daemon's own code on simulated devices fed from a
// recorded transport stream.
//
//   zuva-replay --list [--json] RECORDING.ts
//       For every program of the recording's PAT, runs the daemon's PAT/PMT
//       scan and prints its log (or, with --json, what it found as JSON), so
//       one sees which subtitle streams the daemon would find, and the
//       subtitle pages actually on air beside the ones announced.
//
//   zuva-replay [options] RECORDING.ts
//       Plays the recording through the unchanged daemon, acting as the box's
//       plugin, and writes what a viewer would see.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "sim/replay.h"
#include "sim/scan_json.h"

namespace {

const char kUsage[] =
    "Usage: zuva-replay [options] RECORDING.ts\n"
    "       zuva-replay --list [--json] RECORDING.ts\n"
    "\n"
    "Plays a recorded transport stream through the unchanged zuva daemon on a\n"
    "simulated demultiplexer and framebuffer, writing the status file as the\n"
    "box's plugin does. The daemon's log goes to standard error.\n"
    "\n"
    "  --list              for every program of the PAT, run the daemon's PAT/PMT\n"
    "                      scan and print its log on standard output, then the\n"
    "                      teletext pages flagged as subtitles that are really on\n"
    "                      air on each of its teletext PIDs\n"
    "  --json              with --list: print what the scan found as JSON\n"
    "  --service SID       the service to play (default: the first program)\n"
    "  --change SEC:SID    switch to service SID at SEC seconds of replay time, by\n"
    "                      rewriting the status file (repeatable)\n"
    "  --config FILE       settings file (default: OSDMessages 1 and DejaVu Sans)\n"
    "  --channels FILE     external channels file (default: none)\n"
    "  --translation FILE  translation file (default: the project's\n"
    "                      data/zuva.translation)\n"
    "  --set KEY=VALUE     one settings line on top of the settings file\n"
    "                      (repeatable), e.g. --set Language=fre\n"
    "  --speed X           replay speed factor (default 1); 'max' runs as fast\n"
    "                      as the daemon's own timing allows\n"
    "  --rate BITS         bits per second at which a recording without PCR or PTS\n"
    "                      is placed by byte position (default 4000000)\n"
    "  --frames DIR        a PNG of the screen after every drawing sequence that\n"
    "                      changed it, and DIR/frames.tsv listing them\n"
    "  --srt FILE          the subtitles shown, as SubRip\n"
    "  --sheet FILE.png    one picture: a thumbnail of the screen for every\n"
    "                      subtitle shown, labelled with its time and text\n"
    "  --bpp 32|16|8       framebuffer depth (default 32)\n"
    "  --screen WxH        framebuffer size (default 720x576, the box's); the\n"
    "                      daemon places its picture on a larger one, scaled\n"
    "  --aspect N          the status file's aspect line (default 2, 16:9)\n"
    "  --playback          mark the service as a recording being played back\n"
    "                      (the status file's Seekable line), so RecDelay applies\n"
    "  --dvb               show DVB subtitles (adds the setting UseDVBSubtitles 1)\n"
    "  --workdir DIR       keep the daemon's files (settings, status) in DIR\n"
    "  --tail SEC          replay time to go on after the recording ends (default 1)\n"
    "  -h, --help          show this text\n"
    "      --version       show the version\n"
    "\n"
    "Exit status: 0 when played; 1 when the recording cannot be read or an\n"
    "output (--srt, --frames, --sheet, --workdir) cannot be written, checked\n"
    "before the replay starts; 2 on a usage error.\n";

struct ToolOptions {
  bool list = false;
  bool json = false;
  replay::Options play;
};

enum {
  kList,
  kJson,
  kService,
  kChange,
  kConfig,
  kChannels,
  kTranslation,
  kSet,
  kSpeed,
  kRate,
  kFrames,
  kSrt,
  kSheet,
  kBpp,
  kScreen,
  kAspect,
  kPlayback,
  kDvb,
  kWorkdir,
  kTail,
};

bool ToService(const std::string& text, int& out) {
  long long value = 0;
  if (!cli::ToInt(text.c_str(), 0, 0xFFFF, value, 0)) return false;
  out = static_cast<int>(value);
  return true;
}

// False with the one-line usage error in `error` for the option `id` with
// its value `v`.
bool ApplyOption(int id, const std::string& v, ToolOptions& options, std::string& error) {
  replay::Options& play = options.play;
  switch (id) {
    case kList: options.list = true; break;
    case kJson: options.json = true; break;
    case kService:
      if (!ToService(v, play.service)) error = "--service takes a service id";
      break;
    case kChange: {
      const auto colon = v.find(':');
      replay::ServiceChange change{};
      if (colon == std::string::npos ||
          !cli::ToNumber(v.substr(0, colon).c_str(), 0, 1e9, change.atSeconds) ||
          !ToService(v.substr(colon + 1), change.sid)) {
        error = "--change takes SECONDS:SID";
        break;
      }
      play.changes.push_back(change);
      break;
    }
    case kConfig: play.configFile = v; break;
    case kChannels: play.channelsFile = v; break;
    case kTranslation: play.translationFile = v; break;
    case kSet: {
      const auto eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || v.find('\n') != std::string::npos) {
        error = "--set takes KEY=VALUE";
        break;
      }
      play.settings.push_back(v.substr(0, eq) + " " + v.substr(eq + 1));
      break;
    }
    case kSpeed:
      if (v == "max") {
        play.speed = 0;
      } else if (!cli::ToNumber(v.c_str(), 1e-6, 10000, play.speed)) {
        error = "--speed takes a factor above 0 or 'max'";
      }
      break;
    case kRate: {
      double rate = 0;
      if (!cli::ToNumber(v.c_str(), 1000, 1e10, rate)) {
        error = "--rate takes bits per second (1000 or more)";
        break;
      }
      play.bitRate = static_cast<int64_t>(rate);
      break;
    }
    case kFrames: play.framesDir = v; break;
    case kSrt: play.srtFile = v; break;
    case kSheet: play.sheetFile = v; break;
    case kBpp:
      if (v != "32" && v != "16" && v != "8") error = "--bpp takes 32, 16 or 8";
      else play.bitsPerPixel = std::stoi(v);
      break;
    case kScreen:
      if (!cli::ToSize(v.c_str(), 7680, 4320, play.screenWidth, play.screenHeight)) {
        error = "--screen takes WIDTHxHEIGHT, at least 720x576";
      }
      break;
    case kAspect: {
      long long aspect = 0;
      if (!cli::ToInt(v.c_str(), -1, 0xFFFF, aspect, 0)) error = "--aspect takes a number";
      else play.aspect = static_cast<int>(aspect);
      break;
    }
    case kPlayback: play.playback = true; break;
    case kDvb: play.dvb = true; break;
    case kWorkdir: play.workDir = v; break;
    case kTail:
      if (!cli::ToNumber(v.c_str(), 0, 1e6, play.tailSeconds)) error = "--tail takes seconds";
      break;
    default: break;
  }
  return error.empty();
}

int ListRecording(const std::string& path, bool json, int64_t bitRate) {
  std::vector<replay::ProgramScan> programs;
  std::string error;
  std::string clockNote;
  if (!replay::ScanPrograms(path, programs, error, bitRate, &clockNote)) {
    std::fprintf(stderr, "zuva-replay: cannot read recording %s: %s\n", path.c_str(),
                 error.c_str());
    return 1;
  }
  std::fputs(clockNote.c_str(), stderr);
  if (json) {
    std::fputs(replay::ScanToJson(programs).c_str(), stdout);
    return 0;
  }
  if (programs.empty()) std::printf("The PAT lists no programs.\n");
  for (const replay::ProgramScan& program : programs) {
    std::printf("Program %d (0x%04x), PMT PID 0x%04x\n", program.number, program.number,
                program.pmtPid);
    std::fputs(program.log.c_str(), stdout);
    // Beside what the PMT announces, what is sent: broadcasters announce
    // one page and put their subtitles on others.
    for (const replay::PagesOnAir& onAir : program.onAir) {
      std::printf("Teletext PID 0x%x: subtitle pages on air:", onAir.pid);
      if (onAir.pages.empty()) std::printf(" none");
      for (int page : onAir.pages) std::printf(" %x", page);
      std::printf("\n");
    }
    std::printf("GetAllPIDs returned %d\n\n", program.result);
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
  if (!result.sheetError.empty()) std::fprintf(stderr, "zuva-replay: %s\n", result.sheetError.c_str());
  std::fprintf(stderr,
               "zuva-replay: played %s to %.1f s: %zu frames, %zu subtitles; read the recording "
               "%.2f times\n",
               options.recording.c_str(), static_cast<double>(result.endMs) / 1000.0,
               result.frames.size(), result.srt.size(), result.recordingReads);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ToolOptions options;
  std::string error;
  const cli::Program program{
      "zuva-replay",
      kUsage,
      {{"list", 0, false, kList},       {"json", 0, false, kJson},
       {"service", 0, true, kService},  {"change", 0, true, kChange},
       {"config", 0, true, kConfig},    {"channels", 0, true, kChannels},
       {"translation", 0, true, kTranslation}, {"set", 0, true, kSet},
       {"speed", 0, true, kSpeed},      {"rate", 0, true, kRate},
       {"frames", 0, true, kFrames},    {"srt", 0, true, kSrt},
       {"sheet", 0, true, kSheet},      {"bpp", 0, true, kBpp},
       {"screen", 0, true, kScreen},
       {"aspect", 0, true, kAspect},    {"playback", 0, false, kPlayback},
       {"dvb", 0, false, kDvb},         {"workdir", 0, true, kWorkdir},
       {"tail", 0, true, kTail}},
      [&options](int id, const char* value, std::string& message) {
        return ApplyOption(id, value != nullptr ? value : "", options, message);
      }};
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status >= 0) return status;
  if (operands.empty()) return cli::UsageError(program, "no recording given");
  if (operands.size() > 1) return cli::UsageError(program, "more than one recording given");
  if (options.json && !options.list) return cli::UsageError(program, "--json goes with --list");
  options.play.recording = operands[0];
  if (options.list) return ListRecording(options.play.recording, options.json, options.play.bitRate);
  return Play(options.play);
}
