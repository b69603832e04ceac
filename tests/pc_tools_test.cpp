#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "app/status_tool.h"
#include "common/command_line.h"
#include "common/log.h"
#include "sim/contact_sheet.h"
#include "sim/replay.h"
#include "sim/scan_json.h"
#include "sim/sim_device_io.h"
#include "support/app_harness.h"
#include "support/scripted_demux.h"
#include "support/sim_screen.h"
#include "support/temp_dir.h"
#include "tsgen/psi.h"

// clang-format off: tables keep one case to a line
namespace {

// Runs zuva-status with `args` on `platform`; returns the exit status and
// leaves what it printed (on either stream) in `printed`.
int Status(std::vector<std::string> args, const Platform& platform,
           std::string* printed = nullptr) {
  args.insert(args.begin(), "zuva-status");
  std::vector<char*> argv;
  for (std::string& w : args) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  const int status =
      RunStatusTool(static_cast<int>(args.size()), argv.data(), platform, f, f);
  fclose(f);
  if (printed != nullptr) *printed = text;
  free(text);
  return status;
}

// Every program's options go through one parser: what the user typed comes
// back in the one line of a refusal, and operands survive getopt's reordering.
TEST(CommandLine, ParsesOrRefusesInOneLine) {
  const cli::Program base{"prog", "Usage: prog\n",
                          {{"size", 's', true, 1}, {"long-only", 0, true, 2}, {"flag", 'f', false, 3}},
                          [](int id, const char* v, std::string& error) {
                            if (id == 1 && std::string(v) == "bad") error = "no bad sizes";
                            return error.empty() && !(id == 2 && std::string(v) == "x");
                          }};
  struct Case { std::vector<std::string> args; int status; std::string printed; std::vector<std::string> operands; } cases[] = {
      {{"-h", "-q"}, 0, "Usage: prog\n", {}},
      {{"--version"}, 0, "prog 2.07\n", {}},
      {{"-q"}, 2, "prog: unknown option '-q' (see prog --help)\n", {}},
      {{"--nope=3"}, 2, "prog: unknown option '--nope' (see prog --help)\n", {}},
      {{"--flag=1"}, 2, "prog: unknown option '--flag' (see prog --help)\n", {}},
      {{"-s"}, 2, "prog: option '-s' needs a value (see prog --help)\n", {}},
      {{"--size"}, 2, "prog: option '--size' needs a value (see prog --help)\n", {}},
      {{"--long-only"}, 2, "prog: option '--long-only' needs a value (see prog --help)\n", {}},
      {{"--long-only=x"}, 2, "prog: bad value 'x' for --long-only (see prog --help)\n", {}},
      {{"-s", "bad"}, 2, "prog: no bad sizes (see prog --help)\n", {}},
      {{"a", "-fs5", "--long-only", "y", "b", "--", "-c"}, -1, "", {"a", "b", "-c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& w : args) argv.push_back(&w[0]);
    char* text = nullptr;
    size_t size = 0;
    cli::Program program = base;
    program.out = program.err = open_memstream(&text, &size);
    std::vector<std::string> operands;
    EXPECT_EQ(cli::Parse(program, static_cast<int>(argv.size()), argv.data(), operands), c.status);
    fclose(program.out);
    EXPECT_EQ(text, c.printed);
    free(text);
    EXPECT_EQ(operands, c.operands);
  }
  long long n = 7;
  double d = 7;
  for (const char* bad : {"", "12x", "99999999999999999999", "-1", "101"}) {
    EXPECT_FALSE(cli::ToInt(bad, 0, 100, n)) << bad;
    EXPECT_FALSE(cli::ToNumber(bad, 0, 100, d)) << bad;
  }
  EXPECT_FALSE(cli::ToNumber("nan", 0, 100, d) || cli::ToInt(nullptr, 0, 1, n) || cli::ToNumber(nullptr, 0, 1, d));
  EXPECT_TRUE(cli::ToInt("0x1F", 0, 100, n, 0) && cli::ToNumber("2.5", 0, 100, d));
  EXPECT_EQ(n + d, 33.5);
}

TEST(StatusTool, WritesWhatTheDaemonReadsAndRefusesBadInput) {
  AppHarness h;
  LogCapture capture;
  Application& app = h.Make();
  struct Case { std::vector<std::string> args; std::string file; int videoFormat, playbackMode; } cases[] = {
      {{"--sid", "300", "--pmt", "100"}, "300\n0\n0\n0\n2\n0\n100\n", 16, 0},
      {{"--sid", "0x12c", "--pmt", "0x64", "--aspect", "4:3", "--playback"}, "300\n0\n0\n0\n1\n1\n100\n", 4, 2},
      {{"-s", "301", "-p", "101", "-a", "13"}, "301\n0\n0\n0\n13\n0\n101\n", 4, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Status(c.args, h.platform), 0);
    EXPECT_EQ(ReadWholeFile(h.dir.File("ZUVA.tmp")), c.file);
    EXPECT_EQ(app.ReadServiceStatus(), 1);
    EXPECT_EQ(std::make_pair(app.VideoFormat(), app.PlaybackMode()), std::make_pair(c.videoFormat, c.playbackMode));
  }
  std::string out;
  ASSERT_EQ(Status({"--sid", "5", "--pmt", "6", "--print"}, h.platform, &out), 0);
  EXPECT_EQ(out, "5\n0\n0\n0\n2\n0\n6\n");
  EXPECT_EQ(ReadWholeFile(h.dir.File("ZUVA.tmp")), "301\n0\n0\n0\n13\n0\n101\n");  // printed only
  // Replaced in one step: nothing but the status file is left in the folder.
  EXPECT_EQ(system(("test \"$(ls -A " + h.dir.Path() + ")\" = ZUVA.tmp").c_str()), 0);
  // Failures of the file or the demultiplexer: status 1, the reason named.
  mkdir(h.dir.File("full").c_str(), 0755);
  h.dir.Write("full/x", "");
  const std::pair<std::vector<std::string>, std::string> failures[] = {
      {{"-s", "5", "-p", "6", "--status-file", h.dir.File("no/x")}, "cannot create a temporary file beside"},
      {{"-s", "5", "-p", "6", "--status-file", h.dir.File("full")}, "cannot replace"},
      {{"--clear", "--status-file", h.dir.File("full")}, "cannot remove"},
      {{"-s", "5"}, "cannot use the demultiplexer " + h.platform.paths.demux},
      {{"-s", "5", "--adapter", "2", "--demux", "1"}, "cannot use the demultiplexer /dev/dvb/card2/demux1"},
  };
  for (const auto& [args, reason] : failures) {
    std::string why;
    EXPECT_EQ(Status(args, h.platform, &why), 1);
    EXPECT_EQ(why.rfind("zuva-status: " + reason, 0), 0u) << why;
  }
  // Bad input: one line, status 2, the file as it was.
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"}, {"--sid", "abc"}, {"--sid", "0"}, {"--sid", "65536"}, {"--pmt", "100"},
      {"--sid", "1", "--channel", "A"}, {"--sid", "1", "--pmt", "8191"},
      {"--sid", "1", "--pmt", "1", "--aspect", "3:2"}, {"--clear", "--sid", "1"},
      {"--sid", "1", "--pmt", "1", "extra"}, {"--sid", "1", "--pmt", "1", "--status-file", ""},
      {"--channel", "A", "--channels", h.dir.File("missing.conf"), "--pmt", "1"},
      {"--sid", "1", "--adapter", "256"}, {"--sid", "1", "--demux", "-1"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    std::string err;
    EXPECT_EQ(Status(args, h.platform, &err), 2);
    EXPECT_EQ(err.rfind("zuva-status: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(ReadWholeFile(h.dir.File("ZUVA.tmp")), "301\n0\n0\n0\n13\n0\n101\n");
  }
  ASSERT_EQ(Status({"--clear"}, h.platform), 0);
  EXPECT_FALSE(h.dir.Exists("ZUVA.tmp"));
}

// The service is looked up by name in a channel file as the dvbv5 tools write
// it, or by number in the PAT; the PMT fills in what the file does not give.
TEST(StatusTool, FindsTheServiceInTheChannelFileAndThePmt) {
  using namespace tsgen;
  const Bytes ttx = TeletextDescriptor({{"fra", 2, 0x888}});
  // Video, AC-3 audio, a second audio, teletext: the first of each counts.
  const Bytes pmt = BuildPMT(0x100, 0x200, {}, {{0x1B, 0x200, {}}, {0x06, 0x201, Descriptor(0x6A, {0})},
                                                {0x03, 0x202, {}}, {0x06, 0x203, ttx}});
  const Bytes otherPmt = BuildPMT(0x101, 0x300, {}, {{0x02, 0x300, {}}});
  TempDir dir;
  const std::string file = dir.File("channels.conf");
  dir.Write("channels.conf",
      "# dvbv5-scan output\r\n[TV Brasil HD]\r\n\tSERVICE_ID = 16160\r\n\tVIDEO_PID = 770\r\n"
      "\tAUDIO_PID = 514 614\r\n\tFREQUENCY = 479142857\r\n"
      "\t \n# [Radio]\n[Radio\n SERVICE_ID = 99\n[Radio]\n  SERVICE_ID=7\n  AUDIO_PID = 104\n"
      "[NoSid]\n VIDEO_PID = 100\n[Late]\n SERVICE_ID = 9\n"
      "[Bad]\n SERVICE_ID = 70000\n[BadPid]\n SERVICE_ID = 5\n VIDEO_PID = 0x100\n"
      "[Radio]\n SERVICE_ID = 8\n[Zero]\n SERVICE_ID = 0\n"
      "[Chaîne]\nSERVICE_ID = 256\nVIDEO_PID = 4000\n");
  const auto channel = [&](const char* name) {
    return std::vector<std::string>{"--channel", name, "--channels", file, "--pmt", "1"};
  };
  struct Case { std::vector<std::string> args; bool pat; int status; std::string fileOrError; } cases[] = {
      // CR line ends, tabs, the first audio PID; no blanks round "=", the first of two.
      {channel("TV Brasil HD"), false, 0, "16160\n770\n514\n0\n2\n0\n1\n"},
      {channel("Radio"), false, 0, "7\n0\n104\n0\n2\n0\n1\n"},
      {channel("NoSid"), false, 2, "has no SERVICE_ID"},  // not the next section's
      {channel("Bad"), false, 2, "SERVICE_ID is not a number"},
      {channel("BadPid"), false, 2, "VIDEO_PID is not a number"},
      {channel("TV Brasil"), false, 2, "no channel \"TV Brasil\""},
      {channel("Zero"), false, 2, "has service id 0"},
      // The PMT PID is shared: the other program's section comes first.
      {{"--sid", "256"}, true, 0, "256\n512\n513\n515\n2\n0\n80\n"},
      {{"--channel", "Chaîne", "--channels", file}, true, 0, "256\n4000\n513\n515\n2\n0\n80\n"},
      {{"--sid", "258"}, true, 2, "zuva-status: service 258 is not in the PAT"},
      {{"--sid", "256"}, false, 1, "zuva-status: no PAT on " + dir.File("demux0")},
      {{"--sid", "259"}, true, 1, "zuva-status: the PMT of service 259 did not arrive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    ScriptedDemux demux;  // the sections in this order, whatever the filter
    if (c.pat) {
      demux.Add(BuildPAT(1, {{0, 16}, {0x101, 80}, {0x100, 80}, {0x103, 81}}));
      demux.Add(otherPmt);
      demux.Add(pmt);
    }
    SimDeviceIO io;
    Platform platform{&io, RealClock::Instance(), Paths::Under(dir.Path())};
    io.Attach(platform.paths.demux, &demux);
    std::string err;
    ASSERT_EQ(Status(c.args, platform, &err), c.status) << err;
    const std::string got = c.status == 0 ? ReadWholeFile(dir.File("ZUVA.tmp")) : err;
    EXPECT_NE(got.find(c.fileOrError), std::string::npos) << got;
  }
}

TEST(ReplayOutputs, ScanAsJsonAndSheetLabels) {
  std::vector<replay::ProgramScan> programs;
  std::string error;  // streams in PMT order
  ASSERT_TRUE(replay::ScanPrograms(ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.ts", programs, error))
      << error;
  EXPECT_EQ(replay::ScanToJson(programs),
            "{\"programs\": [\n  {\"number\": 4006, \"pmt_pid\": 160, \"scan_result\": 1,\n"
            "   \"teletext\": [\n    {\"pid\": 1068, \"page\": \"888\", \"type\": 5, \"language\": "
            "\"fre\"},\n"
            "    {\"pid\": 1068, \"page\": \"889\", \"type\": 2, \"language\": \"fre\"}\n   ],\n"
            "   \"dvb\": [],\n   \"teletext_on_air\": [\n"  // page 152 is sent unannounced
            "    {\"pid\": 1068, \"subtitle_pages\": [\"152\", \"888\", \"889\"]}\n   ]}\n]}\n");
  replay::ProgramScan odd;  // language bytes come from the stream
  odd.dvb.resize(1);
  odd.dvb[0].language = "\"\xE9\\";
  EXPECT_NE(replay::ScanToJson({odd}).find("\"language\": \"\\\"\\u00e9\\\\\""), std::string::npos);

  SheetCell cell;  // a bitmap's place is left out of its label
  cell.startMs = 3723004;
  cell.lines = {"[bitmap 300x40 at 200,450]", "Un été"};
  EXPECT_EQ(SheetLabel(cell),
            (std::vector<std::string>{"01:02:03.004", "[bitmap 300x40]", "Un été"}));

  EXPECT_FALSE(replay::ScanPrograms("/nonexistent.ts", programs, error));
  EXPECT_EQ(replay::ScanToJson({}), "{\"programs\": []}\n");
  odd.dvb.resize(2);
  EXPECT_EQ(CountOf(replay::ScanToJson({odd, odd}), "\"composition_page_id\""), 4);
  // Shrinking averages whole blocks and refuses a picture smaller than it says.
  int w = -1, h = -1;
  const std::vector<uint8_t> rgb = {0, 10, 20, 2, 10, 20, 4, 10, 20, 6, 10, 21, 99, 99, 99};
  EXPECT_EQ(ShrinkRGB(rgb, 2, 2, 2, &w, &h), (std::vector<uint8_t>{3, 10, 20}));
  EXPECT_EQ(w * h, 1);
  EXPECT_EQ(ShrinkRGB(rgb, 2, 3, 0, &w, &h), std::vector<uint8_t>());
  EXPECT_EQ(w + h, 0);
  std::string why;
  EXPECT_FALSE(WriteContactSheet("/nonexistent/s.png", {}, kDejaVuSans, &why));
  EXPECT_NE(why, "");
  cell.rgb.assign(720 * 576 * 3, 128);
  cell.width = 720;
  cell.height = 576;
  for (const char* font : {"/nonexistent.ttf", kDejaVuSans}) {
    why.clear();
    EXPECT_FALSE(WriteContactSheet("/nonexistent/s.png", {cell}, font, &why));
    EXPECT_NE(why, "") << font;
  }
}

}  // namespace

// The scripts run the programs of this build; a cross build cannot.
#ifdef ZUVA_DAEMON_PATH
namespace {

// The demo takes its folder from where the user stands and never deletes: a
// folder with something in it is left alone, the demo goes beside it. Where
// valgrind cannot run a program the comparison with FFmpeg says so and why;
// where it ran and left no count, one line and a failure, no shell error.
TEST(Scripts, DemoNeverDeletesAndCompareSaysWhy) {
  const std::string repo = ZUVA_DATA_DIR "/..", daemon = ZUVA_DAEMON_PATH;
  const std::string bin = daemon.substr(0, daemon.rfind('/'));
  if (access((bin + "/zuva-replay").c_str(), X_OK) != 0) GTEST_SKIP() << "tools not built";
  TempDir dir;
  for (const char* d : {"out", "bin", "release", "tools"}) mkdir(dir.File(d).c_str(), 0755);
  dir.Write("out/mine.txt", "keep me");
  const std::string demo = "cd " + dir.Path() + " && ZUVA_DEMO_NO_BUILD=1 ZUVA_BUILD_DIR=" + bin +
                           " ZUVA_DEMO_SPEED=max " + repo + "/scripts/demo.sh ";
  std::string out;
  ASSERT_EQ(Shell(demo + "out 2>&1", out), 0) << out;
  EXPECT_NE(out.find("demo: " + dir.File("out") + " is not an empty folder; writing to " +
                     dir.File("out-2") + " instead"), std::string::npos) << out;
  EXPECT_EQ(ReadWholeFile(dir.File("out/mine.txt")), "keep me");
  EXPECT_TRUE(dir.Exists("out-2/subtitles.srt") && dir.Exists("out-2/frames/frames.tsv"));

  if (std::system("command -v ffprobe > /dev/null 2>&1") != 0) GTEST_SKIP() << "no ffprobe";
  symlink((bin + "/zuva-replay").c_str(), dir.File("release/zuva-replay").c_str());
  struct Case { const char* valgrind; int status; const char* line; } cases[] = {
      {"echo '==7== valgrind: Unrecognised instruction at address 0x4a1b2c3.' >&2; exit 132", 0,
       "compare_ffmpeg: SKIP: valgrind cannot run zuva-replay: valgrind: Unrecognised instruction"},
      {"exit 0", 1, "compare_ffmpeg: FAIL: no instruction count for zuva-replay in"},
  };
  for (const Case& c : cases) {
    for (const auto& [file, text] : {std::pair<std::string, std::string>{"bin/valgrind", c.valgrind},
                                     {"bin/callgrind_annotate", ""}, {"release/zuva-mkdemo", "exit 1"}}) {
      dir.Write(file, "#!/bin/sh\n" + text + "\n");
      chmod(dir.File(file).c_str(), 0755);
    }
    EXPECT_EQ(Shell("PATH=" + dir.File("bin") + ":$PATH ZUVA_BUILD_DIR=" + dir.File("release") +
                    " ZUVA_TOOLS_DIR=" + dir.File("tools") + " " + repo + "/bench/compare_ffmpeg.sh 2>&1", out),
              c.status) << out;
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
  }
}

}  // namespace
#endif  // ZUVA_DAEMON_PATH
