// The whole daemon on the simulated devices: recordings played through
// zuva-replay's session on the virtual clock (time passes only through the
// daemon's own sleeps), checked on the log and on the subtitles shown.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/box_dmx.h"
#include "sim/replay.h"
#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"
#include "support/app_harness.h"
#include "support/fault_io.h"
#include "support/timing_cases.h"
#include "tsgen/demo.h"

namespace {

// The demonstration recording, written once per test program.
struct Demo {
  std::string path;
  tsgen::DemoTimes times;
};
const Demo& DemoFile() {
  static TempDir dir;
  static const Demo demo = [] {
    Demo d;
    d.path = WriteRecording(dir, "demo.ts", tsgen::BuildDemoRecording(30, &d.times));
    return d;
  }();
  return demo;
}

// Expects every subtitle shown to be one of the demo's Swedish ones, whole and
// within `slackMs` of its time; returns how many were shown.
size_t ExpectDemoSubtitles(const std::vector<replay::SrtEntry>& srt, double slackMs) {
  const std::vector<int64_t>& on = DemoFile().times.teletextOn;
  for (const replay::SrtEntry& e : srt) {
    size_t n = 0;
    while (n < on.size() && e.lines != tsgen::DemoSubtitleText(0x888, static_cast<int>(n))) ++n;
    EXPECT_LT(n, on.size()) << "not a demo subtitle: " << replay::FormatSrt({e});
    if (n < on.size()) {
      EXPECT_NEAR(static_cast<double>(e.startMs - on[n]), 0.0, slackMs) << n;
    }
  }
  return srt.size();
}

// At full speed the daemon sees the times it would see in real time: every
// page is shown from its PTS (the reader looks every 10 ms) until the next
// one, however early, short or close together they come, and run after run
// the subtitles and the frames are the same to the byte.
TEST(EndToEnd, FullSpeedShowsEveryPageOnTimeTheSameEveryRun) {
  TempDir dir;
  for (const TimingCase& c : TimingCases()) {
    SCOPED_TRACE(c.name);
    const replay::Options o = Play(WriteRecording(dir, c.name, TimingRecording(c)));
    std::string first;
    std::vector<replay::SrtEntry> srt;
    for (int run = 0; run < 3; ++run) {
      const replay::Result r = replay::Run(o);
      ASSERT_EQ(0, r.status) << r.error;
      EXPECT_EQ(0, r.leakedHandles);
      EXPECT_LE(r.endMs, (c.seconds + 2) * 1000);
      std::string shown = replay::FormatSrt(r.srt);
      for (const auto& f : r.frames) shown += std::to_string(f.stcMs) + ' ' + f.what + '\n';
      if (run == 0) {
        first = shown;
        srt = r.srt;
      }
      EXPECT_EQ(first, shown) << "run " << run;
    }
    size_t n = 0;  // subtitles checked
    for (size_t k = 0; k < c.pages.size(); ++k) {
      if (c.pages[k].lines.empty()) continue;
      ASSERT_LT(n, srt.size()) << first;
      EXPECT_EQ(c.pages[k].lines, srt[n].lines) << k;
      EXPECT_NEAR(c.pages[k].at * 1000, static_cast<double>(srt[n].startMs), 20) << k;
      if (k + 1 < c.pages.size()) {
        EXPECT_NEAR(c.pages[k + 1].at * 1000, static_cast<double>(srt[n].endMs), 20) << k;
      }
      ++n;
    }
    EXPECT_EQ(n, srt.size()) << first;
  }
}

TEST(EndToEnd, OutcomeOfTheStreamChoice) {
  TempDir dir;
  dir.Write("override.channels", "64 200 889 swe\n");
  dir.Write("fallback.channels", "64 200 889 fin\n");
  dir.Write("german.channels", "64 200 889 DEU\n");
  const std::string demo = DemoFile().path;
  const std::string german = WriteRecording(
      dir, "deu.ts", TimingRecording({"", 8, {{2.0, {"Guten Abend"}}}, "deu", 0x150}));
  const std::string untimed = WriteRecording(
      dir, "eng.ts", TimingRecording({"", 8, {{2.0, {"Hello"}}}, "eng", 0x888, true}));
  const std::string sample = std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-fra.ts";
  const std::string italian = std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-ita.ts";
  const std::string txt = "-> Let's start TXT Subtitles\n";
  const std::string sleep = "-> Let's fall into zzzzzzz...\n";
  struct Case {
    std::string recording;
    int service;
    std::vector<std::string> settings;
    std::string channels, logLine, outcome;
    std::vector<std::vector<std::string>> shown = {};  // when given, every subtitle shown
    bool playback = false;
    int64_t firstMs = -1;  // when given, when the first subtitle shows
  };
  const std::vector<Case> cases = {
      {demo, 100, {}, dir.File("override.channels"),
       "TXT EXTERNAL OVERRIDE: swe, PID=200, PAGE=889\n", txt},
      {demo, 100, {"Language fin", "UseExternalChannels 1"}, dir.File("fallback.channels"),
       "TXT EXTERNAL FALLBACK: fin, PID=200, PAGE=889\n", txt},
      {demo, 200, {}, "", "DVB FROM PMT: eng, PID=210\n",
       "-> DVB Subtitles NOT supported on this box yet...\n"},
      // Either code of a language, in any case, on either side, matches.
      {german, -1, {"Language fin", "SecondaryLanguage Deu"}, "",
       "TXT FROM PMT: ger, PID=300, PAGE=150\n", txt},
      {demo, 100, {"Language ger"}, dir.File("german.channels"),
       "TXT EXTERNAL OVERRIDE: ger, PID=200, PAGE=889\n", txt},
      {german, -1, {"Language fin", "SecondaryLanguage swe"}, "",
       "-> No subtitles in fin or swe (type 2); on air: ger teletext 150 type 2\n", sleep},
      {sample, -1, {"Language fre"}, "", "TXT FROM PMT: fre, PID=42c, PAGE=889\n", txt},
      {sample, -1, {"Language fre", "SubtileType 5"}, "", "TXT FROM PMT: fre, PID=42c, PAGE=888\n",
       txt},
      {sample, -1, {"Language fre", "SubtileType 1", "SecondaryLanguage fre"}, "", sleep, sleep},
      // Without a time stamp a subtitle shows as it arrives; in playback RecDelay (4 s) later.
      {untimed, -1, {"Language eng"}, "", "TXT FROM PMT: eng, PID=300, PAGE=888\n", txt,
       {{"Hello"}}, false, 1400},
      {untimed, -1, {"Language eng"}, "", "Playback found, RecDelay:4\n", txt, {{"Hello"}}, true,
       5400},
      // The Italian multiplex: eight services with teletext; the row on air on
      // page 777 of service 3402 grows word by word, and is shown so.
      {italian, 3402, {"Language ita"}, "", "TXT FROM PMT: ita, PID=241, PAGE=777\n", txt,
       {{"Tu stavi facendo"},
        {"Tu stavi facendo sicuramente"},
        {"Tu stavi facendo sicuramente cose"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logLine);
    replay::Options o = Play(c.recording, c.service);
    o.settings = c.settings;
    o.channelsFile = c.channels;
    o.playback = c.playback;
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.logLine), 1);
    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.outcome), 1);
    EXPECT_EQ(r.leakedHandles + r.leakedMappings, 0);
    std::vector<std::vector<std::string>> shown;
    for (const replay::SrtEntry& e : r.srt) shown.push_back(e.lines);
    if (!c.shown.empty()) {
      EXPECT_EQ(shown, c.shown);
    }
    if (c.firstMs >= 0 && !r.srt.empty()) {
      EXPECT_NEAR(static_cast<double>(r.srt[0].startMs), static_cast<double>(c.firstMs), 500.0);
    }
    if (c.service != 200) continue;  // the message line alone: it goes six cycles later
    ASSERT_GE(r.frames.size(), 2u);
    EXPECT_NE(r.frames[0].what.find("DVB FROM PMT: eng, PID=210"), std::string::npos);
    EXPECT_NEAR(static_cast<double>(r.frames[1].stcMs - r.frames[0].stcMs), 3000.0, 600.0);
  }
  // Options and outputs the replay refuses before anything plays, leaving
  // nothing of its own behind.
  dir.Write("empty.ts", "");
  std::vector<replay::Options> refused(10, Play(demo, 100));
  refused[0].recording = dir.File("missing.ts");
  refused[1].recording = dir.File("empty.ts");
  refused[2].service = 7;
  refused[3].changes = {{1.0, 9}};
  refused[4].configFile = dir.File("none");
  refused[5].channelsFile = dir.File("none");
  refused[6].translationFile = dir.File("none");
  refused[7].srtFile = dir.File("none/x.srt");
  refused[8].framesDir = dir.File("empty.ts");
  refused[9].sheetFile = dir.File("none/x.png");
  const char* errors[] = {"cannot read recording", "cannot read recording",
                          "service 7 is not in the",  "service 9 is not in the",
                          "cannot read settings",     "cannot read channels",
                          "cannot read translation",
                          "cannot write /none/x.srt: No such file or directory",
                          "cannot write /empty.ts: Not a directory",
                          "cannot write /none/x.png: No such file or directory"};
  for (size_t i = 0; i < refused.size(); ++i) {
    const replay::Result r = replay::Run(refused[i]);
    EXPECT_EQ(r.status, i < 2 || i > 6 ? 1 : 2) << r.error;
    const std::string expected = i > 6 ? "cannot write " + dir.Path() + (errors[i] + 13) : errors[i];
    EXPECT_EQ(r.error.rfind(expected, 0), 0u) << r.error;
    EXPECT_EQ(r.frames.size(), 0u);
    EXPECT_TRUE(r.workDir.empty() || access(r.workDir.c_str(), F_OK) != 0) << r.workDir;
  }
}

// The real broadcast: the subtitles shown are the reference decoder's lines,
// in order, accents right, each within half a second of its start; the frames,
// SubRip file and contact sheet are written.
TEST(EndToEnd, BroadcastSampleMatchesTheReference) {
  std::vector<replay::SrtEntry> reference;
  std::ifstream in(std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-fra.reference.srt");
  for (std::string line; std::getline(in, line);) {
    int h, m, s, ms;
    if (sscanf(line.c_str(), "%d:%d:%d,%d -->", &h, &m, &s, &ms) == 4) {
      reference.push_back({((h * 60 + m) * 60 + s) * 1000 + ms, 0, {}});
    } else if (!reference.empty() && line.find_first_not_of("0123456789") != std::string::npos) {
      reference.back().lines.push_back(line);
    }
  }
  ASSERT_EQ(reference.size(), 9u);

  TempDir dir;
  replay::Options o = Play(std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-fra.ts");
  o.settings = {"Language fra"};  // as ffprobe names French: the French table all the same
  o.framesDir = dir.File("frames");
  o.srtFile = dir.File("out.srt");
  o.sheetFile = dir.File("sheet.png");
  o.workDir = dir.File("box");  // given, it is the user's: left as it is
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  ASSERT_EQ(r.srt.size(), reference.size()) << replay::FormatSrt(r.srt);
  for (size_t i = 0; i < reference.size(); ++i) {
    EXPECT_EQ(r.srt[i].lines, reference[i].lines) << "subtitle " << i + 1;
    EXPECT_NEAR(static_cast<double>(r.srt[i].startMs), static_cast<double>(reference[i].startMs),
                500.0)
        << "subtitle " << i + 1;
  }
  EXPECT_TRUE(dir.Exists("frames/frame-00001.png") && dir.Exists("box/zuva.conf"));
  EXPECT_EQ(ReadWholeFile(o.srtFile), replay::FormatSrt(r.srt));
  // Nine subtitles: three rows of three half-size screens with their labels.
  ASSERT_EQ(r.sheetError, "");
  const std::string png = ReadWholeFile(o.sheetFile);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x04\x58\0\0\x04\x76", 8));  // 1112 x 1142
}

// Service 200 (DVB) first, teletext service 100 from 7 s, DVB again from 13 s.
TEST(EndToEnd, DvbSubtitlesFollowTheSettingAndStopOnEveryServiceChange) {
  const std::string box = std::string(ZUVA_DATA_DIR) + "/zuva.conf.example";
  const std::string pc = std::string(ZUVA_DATA_DIR) + "/pc/zuva.conf";
  struct Case {
    const char* name;
    std::string configFile;
    bool replayDvb;  // adds the setting that turns them on
    bool dvbShown, fallback;  // the box's font does not exist here
  };
  const Case cases[] = {
      {"box settings", box, false, false, true},
      {"zuva-replay --dvb", box, true, true, true},
      {"PC settings", pc, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    replay::Options o = Play(DemoFile().path, 200);
    o.configFile = c.configFile;
    o.dvb = c.replayDvb;
    o.changes = {{7.0, 100}, {13.0, 200}};
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    // Announced again every 10 s while only announced.
    EXPECT_GE(CountOf(r.log, "ZUVA: DVB FROM PMT: eng, PID=210\n"), 2);
    const int dvbStarts = CountOf(r.log, "ZUVA: Start DVB Subtile: PID=210\n");
    EXPECT_EQ(dvbStarts, c.dvbShown ? 2 : 0);
    EXPECT_EQ(CountOf(r.log, "ZUVA: Force CLEAR SCREEN.\n") > 0, c.dvbShown);
    EXPECT_EQ(CountOf(r.log, "ZUVA: Using fallback font: "), c.fallback ? 1 : 0);
    // Every start of a decoder comes after a stop of all decoding.
    std::istringstream lines(r.log);
    bool stopped = false;
    int starts = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line == "ZUVA: Stop DVB decoding...") stopped = true;
      if (line.rfind("ZUVA: Start TXT Subtile", 0) == 0 || line.rfind("ZUVA: Start DVB", 0) == 0) {
        EXPECT_TRUE(stopped) << line;
        stopped = false;
        ++starts;
      }
    }
    EXPECT_EQ(starts, 1 + dvbStarts);
    // Bitmaps before the first change and after the second, the teletext in
    // between (drawn with whatever font), never both at once: one letter a run.
    std::string runs;
    for (const replay::SrtEntry& e : r.srt) {
      char kind = 0;
      for (const std::string& line : e.lines) {
        const char k = line.rfind("[bitmap", 0) == 0 ? 'b' : 't';
        kind = kind == 0 || kind == k ? k : 'x';
      }
      if (runs.empty() || runs.back() != kind) runs += kind;
    }
    EXPECT_EQ(runs, c.dvbShown ? "btb" : "t");
    EXPECT_EQ(r.leakedHandles, 0);
  }
  // The daemon's own message line never costs a subtitle; one still shown
  // when the recording ends closes there, however long the replay goes on.
  for (const char* osd : {"OSDMessages 0", "OSDMessages 1"}) {
    replay::Options o = Play(DemoFile().path, 200);
    o.dvb = true;
    o.settings = {osd};
    o.tailSeconds = 5;
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.srt.size(), DemoFile().times.dvbOn.size()) << replay::FormatSrt(r.srt);
    EXPECT_NEAR(static_cast<double>(r.srt.back().endMs), 30000.0, 200.0);
  }
}

struct Fault {
  std::string op;
  unsigned long request;
  int n;  // which call of that kind fails, 1-based
  int err;
};

replay::Action WriteStatusAt(double seconds, const char* content) {
  return {seconds, [content](const std::string& d) {
            std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << content;
          }};
}

// A reader thread's first request stalls for a while in real time, as a
// thread does that the machine is slow to schedule.
struct SlowReaderStart : FaultIO {
  using FaultIO::FaultIO;
  int Ioctl(int fd, unsigned long request, void* arg) override {
    thread_local bool stalled = false;
    if (std::this_thread::get_id() != main && !stalled) {
      stalled = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return FaultIO::Ioctl(fd, request, arg);
  }
  const std::thread::id main = std::this_thread::get_id();
};

// Each time the daemon must log the failure (or the user's doing), leave
// nothing open and, where the next cycles can mend it, get back to showing the
// right subtitles. Every reader thread is slow to start, as on a loaded box: on
// the virtual clock time must not run on before it has read.
TEST(EndToEndFaults, DaemonRecoversFromDeviceFaultsWithoutLeaks) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::vector<replay::Action> actions;
    std::string logLine;
    bool subtitlesAfter;
    int most = 1000;  // times the line may show
    bool override888 = false;  // a channels file names the demo's page 888
  };
  // A reload stops all decoding and opens the screen again: the subtitles must
  // come back after it too.
  const replay::Action reload = {7.0, [](const std::string& d) {
                                   std::ofstream(d + "/.ZUVA_Reload");
                                 }};
  std::vector<Fault> pesReads;  // the first reads after the scan are the reader thread's
  for (int n = 3; n <= 60; ++n) pesReads.push_back({"read", 0, n, EIO});
  std::vector<Fault> pmtFilters;  // every scan's second filter is its PMT's
  for (int n = 2; n <= 200; n += 2) pmtFilters.push_back({"ioctl", DMX_SET_FILTER, n, EIO});
  const std::vector<Case> cases = {
      {"nothing but the slow start", {}, {}, "PESFilter thread started...\n", true},
      {"buffer size refused once", {{"ioctl", DMX_SET_BUFFERSIZE, 1, EINVAL}}, {reload},
       "Failed ioctl(DMX_SET_BUFFERSIZE)\n", true},
      {"PMT read times out once", {{"read", 0, 2, ETIMEDOUT}}, {}, "Error read(PMT)\n", true},
      {"PES reads fail for a while", pesReads, {}, "PESFilter thread started...\n", true},
      {"screen cannot be mapped", {{"mmap", 0, 1, ENOMEM}}, {}, "Could not mmap(screen memory)\n",
       false},
      {"status file turns to garbage and back", {},
       {WriteStatusAt(4.0, "\x01\xff garbage\n\n"), WriteStatusAt(6.0, "100\n0\n0\n"),
        WriteStatusAt(8.0, "100\n0\n0\n0\n2\n0\n256\n")},
       "Failed to read SID\n", true},
      {"disabled for a while", {},
       {{3.0, [](const std::string& d) { std::ofstream(d + "/.ZUVA_Disable"); }},
        {6.0, [](const std::string& d) { std::remove((d + "/.ZUVA_Disable").c_str()); }}},
       "-> Let's fall into zzzzzzz...cause we are disabled.\n", true},
      {"PES filter busy once", {{"ioctl", DMX_SET_PES_FILTER, 1, EBUSY}}, {},
       "Failed ioctl(DMX_SET_PES_FILTER)\n", true, 1},
      // Tried again after a pause that doubles: 6 tries in 30 s, not 60.
      {"PES filter refused for good", {{"ioctl", DMX_SET_PES_FILTER, 0, EINVAL}}, {},
       "Failed ioctl(DMX_SET_PES_FILTER)\n", false, 7},
      // An override entry needs no PMT: it runs while every scan would fail.
      {"no PMT filter at all", pmtFilters, {}, "Failed to GetAllPIDs()...try again.\n", true, 1,
       true},
  };
  TempDir dir;
  dir.Write("zuva.channels", "64 200 888 swe\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<SlowReaderStart> faults;
    replay::Options o = Play(DemoFile().path, 100);
    o.actions = c.actions;
    if (c.override888) o.channelsFile = dir.File("zuva.channels");
    o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
      faults = std::make_unique<SlowReaderStart>(sim);
      for (const Fault& f : c.faults) faults->FailOn(f.op, f.request, f.n, f.err);
      return faults.get();
    };
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    ASSERT_NE(faults, nullptr);
    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.logLine), 1) << r.log.substr(0, 2000);
    EXPECT_LE(CountOf(r.log, "ZUVA: " + c.logLine), c.most);
    EXPECT_EQ(r.leakedHandles + r.leakedMappings, 0);
    EXPECT_EQ(PESFilter::LivePackets(), 0);
    EXPECT_EQ(faults->Count("open"), faults->Count("close"));
    if (!c.subtitlesAfter) continue;
    const bool clean = c.faults.empty() && c.actions.empty();  // then every subtitle, on time
    const size_t shown = ExpectDemoSubtitles(r.srt, clean ? 100.0 : 300.0);
    ASSERT_GT(shown, 0u) << r.log;
    if (clean) {
      EXPECT_EQ(shown, DemoFile().times.teletextOn.size()) << replay::FormatSrt(r.srt);
    }
    // Shown again after the last thing the user or the plugin did.
    const double mended = c.actions.empty() ? 0 : c.actions.back().atSeconds;
    EXPECT_GT(static_cast<double>(r.srt.back().startMs), mended * 1000) << replay::FormatSrt(r.srt);
  }
}

}  // namespace
