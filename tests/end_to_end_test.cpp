// The whole daemon on the simulated devices: recordings made with tsgen (and
// the real broadcast sample) played through zuva-replay's session at a high
// replay speed, checked on the log, the screen and the subtitles shown; and
// the same while the devices misbehave: each time the daemon must log the
// failure, leave nothing open and, where the next cycle can mend it, show the
// right subtitles at the right time.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/replay.h"
#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"
#include "support/app_harness.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"
#include "tsgen/demo.h"
#include "tsgen/pes.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/teletext_encoder.h"

namespace {

// Replay time passes only through the daemon's own sleeps: as fast as it
// allows, and the same under a loaded machine or a sanitizer.
constexpr double kSpeed = 0;

// The demonstration recording, written once per test program.
struct Demo {
  std::string path;
  tsgen::DemoTimes times;
};
const Demo& DemoFile() {
  static TempDir dir;
  static const Demo demo = [] {
    Demo d;
    d.path = dir.File("demo.ts");
    const std::vector<uint8_t> bytes = tsgen::BuildDemoRecording(20, &d.times);
    std::ofstream(d.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return d;
  }();
  return demo;
}
const std::string& DemoRecording() { return DemoFile().path; }

replay::Options Quiet(const std::string& recording) {
  replay::Options o;
  o.recording = recording;
  o.speed = kSpeed;
  o.logOut = nullptr;
  o.keepLog = true;
  return o;
}

// A one-service recording whose PMT announces a teletext page in `language`
// on PID 0x300, with one subtitle at 2 s (PTS unless `withoutPts`).
std::string TeletextRecording(const TempDir& dir, const std::string& language, int page,
                              const std::vector<std::string>& lines, bool withoutPts = false) {
  constexpr int64_t start = 90000;
  tsgen::RecordingBuilder b;
  b.EnablePCR(0x1FF);
  b.SetStartTime(start);
  b.SetEndTime(start + 8 * 90000);
  b.AddTable(0, tsgen::BuildPAT(1, {{0x12c, 0x100}}));
  b.AddTable(0x100, tsgen::BuildPMT(0x12c, 0x1FF, {},
                                    {{0x06, 0x300,
                                      tsgen::TeletextDescriptor(
                                          {{language, 2, static_cast<uint16_t>(page)}})}}));
  std::vector<tsgen::TeletextUnit> units = tsgen::EncodePage(tsgen::SubtitlePage(page, lines));
  tsgen::TeletextHeader next;
  next.page = (page & 0xF00) | 0xFF;
  units.push_back(tsgen::EncodeHeaderUnit(next));
  const int64_t pts = start + 2 * 90000;
  for (auto pes : tsgen::PackTeletextPES(units, pts)) {
    if (withoutPts) pes[7] = 0x00;  // flags: no PTS; the header bytes stay as stuffing
    b.AddPES(0x300, pts - 18000, pes);
  }
  const std::string file = dir.File(language + ".ts");
  std::string error;
  EXPECT_TRUE(b.WriteFile(file, &error)) << error;
  return file;
}

TEST(EndToEnd, OutcomeOfTheStreamChoice) {
  TempDir dir;
  dir.Write("override.channels", "64 200 889 swe\n");
  dir.Write("fallback.channels", "64 200 889 fin\n");
  struct Case {
    const char* name;
    int service;
    std::vector<std::string> settings;
    std::string channels;
    std::string logLine;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {"teletext from the PMT", 100, {}, "", "TXT FROM PMT: swe, PID=200, PAGE=888\n",
       "-> Let's start TXT Subtitles\n"},
      {"external override", 100, {}, dir.File("override.channels"),
       "TXT EXTERNAL OVERRIDE: swe, PID=200, PAGE=889\n", "-> Let's start TXT Subtitles\n"},
      {"external fallback", 100, {"Language fin", "UseExternalChannels 1"},
       dir.File("fallback.channels"), "TXT EXTERNAL FALLBACK: fin, PID=200, PAGE=889\n",
       "-> Let's start TXT Subtitles\n"},
      {"DVB announced", 200, {}, "", "DVB FROM PMT: eng, PID=210\n",
       "-> DVB Subtitles NOT supported on this box yet...\n"},
      {"nothing", 100, {"Language fin", "SecondaryLanguage ita"}, "", "",
       "-> Let's fall into zzzzzzz...\n"},
  };
  for (const Case& c : cases) {
    replay::Options o = Quiet(DemoRecording());
    o.service = c.service;
    o.settings = c.settings;
    o.channelsFile = c.channels;
    o.speed = 0;  // only the choice matters here
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.error;
    if (!c.logLine.empty()) {
      EXPECT_GE(CountOf(r.log, "ZUVA: " + c.logLine), 1) << c.name;
    }
    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.outcome), 1) << c.name;
    EXPECT_EQ(r.leakedHandles, 0) << c.name;
    EXPECT_EQ(r.leakedMappings, 0) << c.name;
  }
}

TEST(EndToEnd, LanguageCodesAndTeletextTypes) {
  TempDir dir;
  const std::string german = TeletextRecording(dir, "deu", 0x150, {"Guten Abend"});
  struct Case {
    std::string recording;
    std::vector<std::string> settings;
    std::string want;
  };
  const std::string sample = std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-fra.ts";
  const std::vector<Case> cases = {
      // The stream's deu is recorded as ger, so the configured deu never matches.
      {german, {"Language deu", "SecondaryLanguage deu"}, "-> Let's fall into zzzzzzz...\n"},
      {german, {"Language ger"}, "TXT FROM PMT: ger, PID=300, PAGE=150\n"},
      {sample, {"Language fre"}, "TXT FROM PMT: fre, PID=42c, PAGE=889\n"},
      {sample, {"Language fre", "SubtileType 5"}, "TXT FROM PMT: fre, PID=42c, PAGE=888\n"},
      {sample, {"Language fre", "SubtileType 1", "SecondaryLanguage fre"},
       "-> Let's fall into zzzzzzz...\n"},
  };
  for (const Case& c : cases) {
    replay::Options o = Quiet(c.recording);
    o.settings = c.settings;
    o.speed = 0;  // only the choice matters here
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.want), 1) << c.settings[0] << " " << c.want;
  }
}

// The real broadcast: the subtitles shown are the reference decoder's lines,
// in order, accents right, each within half a second of its start.
TEST(EndToEnd, BroadcastSampleMatchesTheReference) {
  struct Ref {
    int64_t startMs;
    std::vector<std::string> lines;
  };
  std::vector<Ref> reference;
  {
    std::ifstream in(std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-fra.reference.srt");
    ASSERT_TRUE(in.good());
    std::string line;
    while (std::getline(in, line)) {
      int h, m, s, ms, h2, m2, s2, ms2;
      if (sscanf(line.c_str(), "%d:%d:%d,%d --> %d:%d:%d,%d", &h, &m, &s, &ms, &h2, &m2, &s2,
                 &ms2) == 8) {
        reference.push_back({((h * 60 + m) * 60 + s) * 1000 + ms, {}});
      } else if (!line.empty() && !reference.empty() &&
                 line.find_first_not_of("0123456789") != std::string::npos) {
        reference.back().lines.push_back(line);
      }
    }
  }
  ASSERT_EQ(reference.size(), 9u);

  TempDir dir;
  replay::Options o = Quiet(std::string(ZUVA_SAMPLES_DIR) + "/broadcast-teletext-fra.ts");
  o.settings = {"Language fre"};
  o.framesDir = dir.File("frames");
  o.srtFile = dir.File("out.srt");
  // The two rows of a subtitle must land within one screen state however
  // slowly this build draws: on the virtual clock, with time waiting for the
  // drawing thread.
  o.speed = 0;
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_GE(CountOf(r.log, "ZUVA: TXT FROM PMT: fre, PID=42c, PAGE=889\n"), 1);
  ASSERT_EQ(r.srt.size(), reference.size()) << replay::FormatSrt(r.srt);
  for (size_t i = 0; i < reference.size(); ++i) {
    EXPECT_EQ(r.srt[i].lines, reference[i].lines) << "subtitle " << i + 1;
    EXPECT_NEAR(static_cast<double>(r.srt[i].startMs), static_cast<double>(reference[i].startMs),
                500.0)
        << "subtitle " << i + 1;
  }
  struct stat st {};
  EXPECT_EQ(stat(dir.File("frames/frame-00001.png").c_str(), &st), 0);
  EXPECT_EQ(stat(dir.File("out.srt").c_str(), &st), 0);
}

TEST(EndToEnd, MessageLineIsBlankedSixCyclesLater) {
  replay::Options o = Quiet(DemoRecording());
  o.service = 200;  // DVB is only announced: the message stays the only drawing
  o.tailSeconds = 0;
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  ASSERT_GE(r.frames.size(), 2u);
  EXPECT_NE(r.frames[0].what.find("DVB FROM PMT: eng, PID=210"), std::string::npos);
  // The message drawn, then blanked about six half-second cycles later.
  const int64_t shown = r.frames[0].stcMs;
  const int64_t blanked = r.frames[1].stcMs;
  EXPECT_NEAR(static_cast<double>(blanked - shown), 3000.0, 600.0);
}

TEST(EndToEnd, ServiceChangeFromTeletextToAnnouncedDvbAndDvbDecoding) {
  for (bool dvb : {false, true}) {
    replay::Options o = Quiet(DemoRecording());
    o.service = 100;
    o.changes = {{8.0, 200}};
    o.dvb = dvb;
    o.speed = 0;  // two-row pages stay one screen state in slow builds
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_GE(CountOf(r.log, "ZUVA: Service changed: SID=200, PMT=272\n"), 1);
    // Teletext before the change, in Swedish with its national letters.
    ASSERT_FALSE(r.srt.empty());
    EXPECT_EQ(r.srt[0].lines, tsgen::DemoSubtitleText(0x888, 0));
    bool bitmaps = false;
    for (const replay::SrtEntry& e : r.srt) {
      if (!e.lines.empty() && e.lines[0].rfind("[bitmap", 0) == 0) bitmaps = true;
    }
    EXPECT_EQ(bitmaps, dvb);
    if (dvb) {
      EXPECT_GE(CountOf(r.log, "ZUVA: Start DVB Subtile: PID=210\n"), 1);
      EXPECT_GE(CountOf(r.log, "ZUVA: Force CLEAR SCREEN.\n"), 1);
    }
    EXPECT_EQ(r.leakedHandles, 0);
  }
}

// Every start of a decoder comes after a stop of all decoding.
TEST(EndToEnd, NoDecoderStartsWithoutTheStopBeforeIt) {
  replay::Options o = Quiet(DemoRecording());
  o.changes = {{4.0, 200}, {9.0, 100}};
  o.dvb = true;
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  std::istringstream lines(r.log);
  std::string line;
  bool stopped = false;
  int starts = 0;
  while (std::getline(lines, line)) {
    if (line == "ZUVA: Stop DVB decoding...") stopped = true;
    if (line.rfind("ZUVA: Start TXT Subtile", 0) == 0 || line.rfind("ZUVA: Start DVB Subtile", 0) == 0) {
      EXPECT_TRUE(stopped) << line;
      stopped = false;
      ++starts;
    }
  }
  EXPECT_GE(starts, 3);
}

TEST(EndToEnd, DisableAndReloadFlagsMidStream) {
  replay::Options o = Quiet(DemoRecording());
  o.speed = 0;  // two-row pages stay one screen state in slow builds
  o.actions = {
      {3.0, [](const std::string& d) { std::ofstream(d + "/.ZUVA_Disable"); }},
      {6.0, [](const std::string& d) { std::remove((d + "/.ZUVA_Disable").c_str()); }},
      {9.0,
       [](const std::string& d) {
         std::ofstream(d + "/zuva.conf", std::ios::app) << "Language eng\n";
         std::ofstream(d + "/.ZUVA_Reload");
       }},
  };
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(CountOf(r.log, "ZUVA: -> Let's fall into zzzzzzz...cause we are disabled.\n"), 1);
  EXPECT_EQ(CountOf(r.log, "ZUVA: Reload configs requested.\n"), 1);
  EXPECT_GE(CountOf(r.log, "ZUVA: TXT FROM PMT: eng, PID=200, PAGE=889\n"), 1);
  // Swedish first, English after the reload; nothing while disabled.
  ASSERT_GE(r.srt.size(), 2u);
  EXPECT_EQ(r.srt.front().lines, tsgen::DemoSubtitleText(0x888, 0));
  EXPECT_EQ(r.srt.back().lines[0].rfind("Subtitle number", 0), 0u);
  for (const replay::SrtEntry& e : r.srt) {
    EXPECT_FALSE(e.startMs > 3600 && e.startMs < 6000) << e.lines[0];
  }
}

// During playback packets without a time stamp wait RecDelay seconds.
TEST(EndToEnd, RecDelayAppliesToPacketsWithoutTimeStampDuringPlayback) {
  TempDir dir;
  const std::string recording = TeletextRecording(dir, "eng", 0x888, {"Hello"}, true);
  int64_t start[2] = {0, 0};
  for (bool playback : {false, true}) {
    replay::Options o = Quiet(recording);
    o.settings = {"Language eng"};
    o.playback = playback;
    o.tailSeconds = 6;
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    ASSERT_EQ(r.srt.size(), 1u) << replay::FormatSrt(r.srt);
    EXPECT_EQ(r.srt[0].lines, std::vector<std::string>{"Hello"});
    start[playback] = r.srt[0].startMs;
    EXPECT_EQ(CountOf(r.log, "ZUVA: Playback found, RecDelay:4\n"), playback ? 1 : 0);
    EXPECT_EQ(CountOf(r.log, "ZUVA: ZUVA: Added RecDelay!\n") > 0, playback);
  }
  EXPECT_NEAR(static_cast<double>(start[1] - start[0]), 4000.0, 500.0);
}

struct Fault {
  std::string op;
  unsigned long request;
  int n;
  int err;
};

// The user asks for the settings to be read again: the daemon stops
// decoding, reloads and scans the service afresh.
replay::Action ReloadAt(double seconds) {
  return {seconds, [](const std::string& d) { std::ofstream(d + "/.ZUVA_Reload"); }};
}

// Fails reads first..last of the process's device reads (1-based).
std::vector<Fault> FailReads(int first, int last, int err) {
  std::vector<Fault> faults;
  for (int n = first; n <= last; ++n) faults.push_back({"read", 0, n, err});
  return faults;
}

TEST(EndToEndFaults, DaemonRecoversFromDeviceFaultsWithoutLeaks) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::vector<replay::Action> actions;
    std::string logLine;  // the failure as the daemon reports it
    bool subtitlesAfter;  // the next cycles mend it: subtitles follow
  };
  // A filter that cannot be started leaves the daemon idle until the status
  // changes or the settings are reloaded; the reload must then mend it.
  const std::vector<Case> cases = {
      {"PES filter refused once",
       {{"ioctl", DMX_SET_PES_FILTER, 1, EBUSY}},
       {ReloadAt(7.0)},
       "Failed ioctl(DMX_SET_PES_FILTER)\n",
       true},
      {"buffer size refused once",
       {{"ioctl", DMX_SET_BUFFERSIZE, 1, EINVAL}},
       {ReloadAt(7.0)},
       "Failed ioctl(DMX_SET_BUFFERSIZE)\n",
       true},
      {"PAT section filter refused once",
       {{"ioctl", DMX_SET_FILTER, 1, EBUSY}},
       {},
       "Error ioctl(DMX_SET_FILTER PAT)\n",
       true},
      {"PAT read times out once", FailReads(1, 1, ETIMEDOUT), {}, "Error read(PAT)\n", true},
      {"PMT read times out once", FailReads(2, 2, ETIMEDOUT), {}, "Error read(PMT)\n", true},
      // The first reads after the scan are the reader thread's.
      {"PES reads fail for a while", FailReads(3, 60, EIO), {}, "PESFilter thread started...\n",
       true},
      {"screen cannot be mapped", {{"mmap", 0, 1, ENOMEM}}, {}, "Could not mmap(screen memory)\n",
       false},
      {"status file turns to garbage and back",
       {},
       {{4.0,
         [](const std::string& d) {
           std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << "\x01\xff garbage\n\n";
         }},
        {6.0,
         [](const std::string& d) {
           std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << "100\n0\n0\n";
         }},
        {8.0,
         [](const std::string& d) {
           std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << "100\n0\n0\n0\n2\n0\n256\n";
         }}},
       "Failed to read SID\n",
       true},
  };

  const Demo& demo = DemoFile();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultIO* faults = nullptr;
    std::unique_ptr<FaultIO> owned;
    replay::Options o;
    o.recording = demo.path;
    o.service = 100;
    o.speed = 0;
    o.logOut = nullptr;
    o.keepLog = true;
    o.actions = c.actions;
    o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
      owned = std::make_unique<FaultIO>(sim);
      faults = owned.get();
      for (const Fault& f : c.faults) faults->FailOn(f.op, f.request, f.n, f.err);
      return faults;
    };
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    ASSERT_NE(faults, nullptr);

    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.logLine), 1) << r.log.substr(0, 2000);
    EXPECT_EQ(r.leakedHandles, 0);
    EXPECT_EQ(r.leakedMappings, 0);
    EXPECT_EQ(PESFilter::LivePackets(), 0);
    // Every device the daemon opened through the faulty layer was closed.
    int opened = 0, closed = 0;
    for (const FaultIO::Call& call : faults->Calls()) {
      if (call.op == "open") ++opened;
      if (call.op == "close") ++closed;
    }
    EXPECT_EQ(opened - closed, 0);

    if (!c.subtitlesAfter) continue;
    // The subtitles that are shown are whole, in Swedish, and on time; and
    // the daemon got back to showing them.
    int64_t firstShown = -1;
    for (const replay::SrtEntry& e : r.srt) {
      bool matched = false;
      for (size_t n = 0; n < demo.times.teletextOn.size() && !matched; ++n) {
        if (e.lines != tsgen::DemoSubtitleText(0x888, static_cast<int>(n))) continue;
        matched = true;
        EXPECT_NEAR(static_cast<double>(e.startMs), static_cast<double>(demo.times.teletextOn[n]),
                    300.0)
            << e.lines[0];
      }
      EXPECT_TRUE(matched) << (e.lines.empty() ? "" : e.lines[0]);
      if (matched && firstShown < 0) firstShown = e.startMs;
    }
    ASSERT_GE(firstShown, 0) << replay::FormatSrt(r.srt) << r.log;
    // Shown again after the last thing the user or the plugin did.
    const double mended = c.actions.empty() ? 0 : c.actions.back().atSeconds;
    EXPECT_GT(static_cast<double>(r.srt.back().startMs), mended * 1000) << replay::FormatSrt(r.srt) << r.log;
  }
}

// Passes every call on, but a reader thread's first request stalls for a
// while in real time, as a thread does that the machine is slow to schedule.
class SlowReaderStart : public DeviceIO {
 public:
  explicit SlowReaderStart(DeviceIO* inner) : inner_(inner), main_(std::this_thread::get_id()) {}
  int Open(const char* path, int flags) override { return inner_->Open(path, flags); }
  int Close(int fd) override { return inner_->Close(fd); }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return inner_->Read(fd, buffer, count);
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    thread_local bool stalled = false;
    if (std::this_thread::get_id() != main_ && !stalled) {
      stalled = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return inner_->Ioctl(fd, request, arg);
  }
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
    return inner_->Mmap(addr, length, prot, flags, fd, offset);
  }
  int Munmap(void* addr, size_t length) override { return inner_->Munmap(addr, length); }

 private:
  DeviceIO* inner_;
  std::thread::id main_;
};

// On the virtual clock time must not run on while a reader thread that was
// just started has not yet read: every subtitle is still shown, on time.
TEST(EndToEndFaults, SlowStartingReaderMissesNoSubtitle) {
  const Demo& demo = DemoFile();
  std::unique_ptr<SlowReaderStart> slow;
  replay::Options o;
  o.recording = demo.path;
  o.service = 100;
  o.speed = 0;
  o.logOut = nullptr;
  o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
    slow = std::make_unique<SlowReaderStart>(sim);
    return slow.get();
  };
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  ASSERT_EQ(r.srt.size(), demo.times.teletextOn.size()) << replay::FormatSrt(r.srt);
  for (size_t n = 0; n < r.srt.size(); ++n) {
    EXPECT_EQ(r.srt[n].lines, tsgen::DemoSubtitleText(0x888, static_cast<int>(n)));
    EXPECT_NEAR(static_cast<double>(r.srt[n].startMs),
                static_cast<double>(demo.times.teletextOn[n]), 100.0);
  }
}

// A wrapper that declines leaves the daemon on the simulator itself.
TEST(EndToEndFaults, DeclinedWrapperPlaysOnTheSimulator) {
  replay::Options o;
  o.recording = DemoFile().path;
  o.service = 100;
  o.speed = 0;
  o.logOut = nullptr;
  int calls = 0;
  o.wrapDevices = [&](SimDeviceIO*) -> DeviceIO* {
    ++calls;
    return nullptr;
  };
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(calls, 1);
  ASSERT_FALSE(r.srt.empty());
  EXPECT_EQ(r.srt.front().lines, tsgen::DemoSubtitleText(0x888, 0));
}

}  // namespace
