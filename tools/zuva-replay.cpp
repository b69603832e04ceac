// zuva-replay: runs the daemon's own code on simulated devices fed from a
// recorded transport stream.
//
//   zuva-replay --list [--json] RECORDING.ts
//       For every program of the recording's PAT, runs the daemon's PAT/PMT
//       scan and prints its log (or, with --json, what it found as JSON), so
//       one sees which subtitle streams the daemon would find.
//
//   zuva-replay [options] RECORDING.ts
//       Plays the recording through the unchanged daemon, acting as the box's
//       plugin, and writes what a viewer would see.

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    "                      scan and print its log on standard output\n"
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
    "  --frames DIR        a PNG of the screen after every drawing sequence that\n"
    "                      changed it, and DIR/frames.tsv listing them\n"
    "  --srt FILE          the subtitles shown, as SubRip\n"
    "  --sheet FILE.png    one picture: a thumbnail of the screen for every\n"
    "                      subtitle shown, labelled with its time and text\n"
    "  --bpp 32|8          framebuffer depth (default 32)\n"
    "  --aspect N          the status file's aspect line (default 2, 16:9)\n"
    "  --playback          mark the service as a recording being played back\n"
    "                      (the status file's Seekable line), so RecDelay applies\n"
    "  --dvb               show DVB subtitles (adds the setting UseDVBSubtitles 1)\n"
    "  --workdir DIR       keep the daemon's files (settings, status) in DIR\n"
    "  --tail SEC          replay time to go on after the recording ends (default 1)\n"
    "  -h, --help          show this text\n"
    "  -V, --version       show the version\n"
    "\n"
    "Exit status: 0 when played, 1 when the recording cannot be read,\n"
    "2 on a usage error.\n";

struct ToolOptions {
  bool help = false;
  bool version = false;
  bool list = false;
  bool json = false;
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

// Long options without a short form.
enum {
  kList = 256,
  kJson,
  kService,
  kChange,
  kConfig,
  kChannels,
  kTranslation,
  kSet,
  kSpeed,
  kFrames,
  kSrt,
  kSheet,
  kBpp,
  kAspect,
  kPlayback,
  kDvb,
  kWorkdir,
  kTail,
};

// One line per option, so that options added on other branches merge.
const option kOptions[] = {
    {"list", no_argument, nullptr, kList},
    {"json", no_argument, nullptr, kJson},
    {"service", required_argument, nullptr, kService},
    {"change", required_argument, nullptr, kChange},
    {"config", required_argument, nullptr, kConfig},
    {"channels", required_argument, nullptr, kChannels},
    {"translation", required_argument, nullptr, kTranslation},
    {"set", required_argument, nullptr, kSet},
    {"speed", required_argument, nullptr, kSpeed},
    {"frames", required_argument, nullptr, kFrames},
    {"srt", required_argument, nullptr, kSrt},
    {"sheet", required_argument, nullptr, kSheet},
    {"bpp", required_argument, nullptr, kBpp},
    {"aspect", required_argument, nullptr, kAspect},
    {"playback", no_argument, nullptr, kPlayback},
    {"dvb", no_argument, nullptr, kDvb},
    {"workdir", required_argument, nullptr, kWorkdir},
    {"tail", required_argument, nullptr, kTail},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// An empty string, or the one-line usage error for the option `c` with its
// value `v`.
std::string ApplyOption(int c, const std::string& v, ToolOptions& options) {
  replay::Options& play = options.play;
  switch (c) {
    case 'h': options.help = true; break;
    case 'V': options.version = true; break;
    case kList: options.list = true; break;
    case kJson: options.json = true; break;
    case kService:
      if (!ParseInt(v, play.service) || play.service < 0) return "--service takes a service id";
      break;
    case kChange: {
      const auto colon = v.find(':');
      replay::ServiceChange change{};
      if (colon == std::string::npos || !ParseNumber(v.substr(0, colon), change.atSeconds) ||
          !ParseInt(v.substr(colon + 1), change.sid) || change.sid < 0) {
        return "--change takes SECONDS:SID";
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
        return "--set takes KEY=VALUE";
      }
      play.settings.push_back(v.substr(0, eq) + " " + v.substr(eq + 1));
      break;
    }
    case kSpeed:
      if (v == "max") {
        play.speed = 0;
      } else if (!ParseNumber(v, play.speed) || play.speed <= 0 || play.speed > 10000) {
        return "--speed takes a factor above 0 or 'max'";
      }
      break;
    case kFrames: play.framesDir = v; break;
    case kSrt: play.srtFile = v; break;
    case kSheet: play.sheetFile = v; break;
    case kBpp:
      if (v != "32" && v != "8") return "--bpp takes 32 or 8";
      play.bitsPerPixel = std::stoi(v);
      break;
    case kAspect:
      if (!ParseInt(v, play.aspect)) return "--aspect takes a number";
      break;
    case kPlayback: play.playback = true; break;
    case kDvb: play.dvb = true; break;
    case kWorkdir: play.workDir = v; break;
    case kTail:
      if (!ParseNumber(v, play.tailSeconds) || play.tailSeconds < 0) return "--tail takes seconds";
      break;
    default: return "unknown option";
  }
  return "";
}

// False with a one-line message in `error` on a usage error.
bool ParseArguments(int argc, char** argv, ToolOptions& options, std::string& error) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1) {
    if (c == ':') {
      error = std::string(argv[optind - 1]) + " needs a value";
      return false;
    }
    if (c == '?') {
      error = "unknown option " + std::string(argv[optind - 1]);
      return false;
    }
    error = ApplyOption(c, optarg != nullptr ? optarg : "", options);
    if (!error.empty()) return false;
  }
  if (options.help || options.version) return true;
  if (optind < argc) options.play.recording = argv[optind++];
  if (optind < argc) {
    error = "more than one recording given";
    return false;
  }
  if (options.play.recording.empty()) {
    error = "no recording given";
    return false;
  }
  if (options.json && !options.list) {
    error = "--json goes with --list";
    return false;
  }
  return true;
}

int ListRecording(const std::string& path, bool json) {
  std::vector<replay::ProgramScan> programs;
  std::string error;
  if (!replay::ScanPrograms(path, programs, error)) {
    std::fprintf(stderr, "zuva-replay: cannot read recording %s: %s\n", path.c_str(),
                 error.c_str());
    return 1;
  }
  if (json) {
    std::fputs(replay::ScanToJson(programs).c_str(), stdout);
    return 0;
  }
  if (programs.empty()) std::printf("The PAT lists no programs.\n");
  for (const replay::ProgramScan& program : programs) {
    std::printf("Program %d (0x%04x), PMT PID 0x%04x\n", program.number, program.number,
                program.pmtPid);
    std::fputs(program.log.c_str(), stdout);
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
    std::fprintf(stderr, "zuva-replay: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("zuva-replay %s\n", ZUVA_VERSION_TEXT);
    return 0;
  }
  if (options.list) return ListRecording(options.play.recording, options.json);
  return Play(options.play);
}
