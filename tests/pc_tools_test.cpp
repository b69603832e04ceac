#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "app/status_tool.h"
#include "app/status_writer.h"
#include "common/log.h"
#include "config/dvbv5_channels.h"
#include "platform/linux_dvb_io.h"
#include "sim/contact_sheet.h"
#include "sim/replay.h"
#include "sim/scan_json.h"
#include "sim/sim_device_io.h"
#include "support/app_harness.h"
#include "support/temp_dir.h"
#include "tsgen/psi.h"

// Last: its request names are macros that would replace the box's constants.
#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>

namespace {

const std::string kSample = ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.ts";

// Runs zuva-status with `args` on `platform`; returns the exit status and
// leaves what it printed in `out` and `err`.
int Status(const std::vector<std::string>& args, const Platform& platform, std::string* out = nullptr,
           std::string* err = nullptr) {
  std::vector<std::string> words = {"zuva-status"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  char* outText = nullptr;
  char* errText = nullptr;
  size_t outSize = 0, errSize = 0;
  FILE* o = open_memstream(&outText, &outSize);
  FILE* e = open_memstream(&errText, &errSize);
  const int status = RunStatusTool(static_cast<int>(words.size()), argv.data(), platform, "demux", o, e);
  fclose(o);
  fclose(e);
  if (out != nullptr) *out = outText;
  if (err != nullptr) *err = errText;
  free(outText);
  free(errText);
  return status;
}

TEST(DvbV5Channels, ReadsTheNamedSectionAsDvbToolsWriteIt) {
  const std::string file =
      "# dvbv5-scan output\r\n[TV Brasil HD]\r\n\tSERVICE_ID = 16160\r\n\tVIDEO_PID = 770\r\n"
      "\tAUDIO_PID = 514 614\r\n\tFREQUENCY = 479142857\r\n"
      "[Radio]\n  SERVICE_ID=7\n  AUDIO_PID = 104\n"
      "[NoSid]\n VIDEO_PID = 100\n[Late]\n SERVICE_ID = 9\n"
      "[Bad]\n SERVICE_ID = 70000\n[BadPid]\n SERVICE_ID = 5\n VIDEO_PID = 0x100\n"
      "[Radio]\n SERVICE_ID = 8\n";
  struct Case {
    std::string name;
    bool ok;
    int sid, vpid, apid;
    std::string error;
  } cases[] = {
      {"TV Brasil HD", true, 16160, 770, 514, ""},  // CR line ends, tabs, the first audio PID
      {"Radio", true, 7, 0, 104, ""},               // no blanks round "="; the first of two
      {"NoSid", false, 0, 0, 0, "has no SERVICE_ID"},  // not the next section's
      {"Bad", false, 0, 0, 0, "SERVICE_ID is not a number"},
      {"BadPid", false, 0, 0, 0, "VIDEO_PID is not a number"},
      {"TV Brasil", false, 0, 0, 0, "no channel \"TV Brasil\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DvbV5Service s;
    std::string error;
    ASSERT_EQ(FindDvbV5Service(file, c.name, s, error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(s.serviceId, c.sid);
      EXPECT_EQ(s.videoPid, c.vpid);
      EXPECT_EQ(s.audioPid, c.apid);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(StatusTool, WhatItWritesIsWhatTheDaemonReads) {
  AppHarness h;
  LogCapture capture;
  Application& app = h.Make();
  struct Case {
    std::vector<std::string> args;
    std::string file;
    int videoFormat, playbackMode;
  } cases[] = {
      {{"--sid", "300", "--pmt", "100"}, "300\n0\n0\n0\n2\n0\n100\n", 16, 0},
      {{"--sid", "0x12c", "--pmt", "0x64", "--aspect", "4:3", "--playback"}, "300\n0\n0\n0\n1\n1\n100\n", 4, 2},
      {{"-s", "301", "-p", "101", "-a", "13"}, "301\n0\n0\n0\n13\n0\n101\n", 4, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Status(c.args, h.platform), 0);
    EXPECT_EQ(ReadWholeFile(h.dir.File("ZUVA.tmp")), c.file);
    EXPECT_EQ(app.ReadServiceStatus(), 1);
    EXPECT_EQ(app.VideoFormat(), c.videoFormat);
    EXPECT_EQ(app.PlaybackMode(), c.playbackMode);
  }
  std::string out;
  ASSERT_EQ(Status({"--sid", "5", "--pmt", "6", "--print"}, h.platform, &out), 0);
  EXPECT_EQ(out, "5\n0\n0\n0\n2\n0\n6\n");
  EXPECT_EQ(ReadWholeFile(h.dir.File("ZUVA.tmp")), "301\n0\n0\n0\n13\n0\n101\n");  // printed only
  ASSERT_EQ(Status({"--clear"}, h.platform), 0);
  EXPECT_FALSE(h.dir.Exists("ZUVA.tmp"));
  EXPECT_EQ(Status({"--clear"}, h.platform), 0);  // nothing to remove is no failure
}

TEST(StatusTool, BadInputIsOneLineWithStatusTwoAndLeavesTheFileAlone) {
  TempDir dir;
  Platform platform;
  platform.paths = Paths::Under(dir.Path());
  dir.Write("ZUVA.tmp", "1\n2\n3\n4\n2\n0\n5\n");
  dir.Write("channels.conf", "[A]\nVIDEO_PID = 5\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"--sid"}, {"--sid", "abc"}, {"--sid", "0"}, {"--sid", "65536"},
      {"--sid", "1", "--channel", "A"}, {"--pmt", "100"}, {"--sid", "1", "--pmt", "8191"},
      {"--sid", "1", "--pmt", "1", "--aspect", "3:2"}, {"--clear", "--sid", "1"},
      {"--sid", "1", "--pmt", "1", "extra"}, {"--channel", "B", "--channels", dir.File("channels.conf")},
      {"--channel", "A", "--channels", dir.File("channels.conf"), "--pmt", "1"},
      {"--channel", "A", "--channels", dir.File("missing.conf"), "--pmt", "1"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    std::string err;
    EXPECT_EQ(Status(args, platform, nullptr, &err), 2);
    EXPECT_EQ(err.rfind("zuva-status: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(ReadWholeFile(dir.File("ZUVA.tmp")), "1\n2\n3\n4\n2\n0\n5\n");
  }
  std::string out;
  EXPECT_EQ(Status({"--version"}, platform, &out), 0);
  EXPECT_EQ(out, std::string("zuva-status ") + ZUVA_VERSION_TEXT + "\n");
}

TEST(StatusWriter, ReplacesInOneStepAndLeavesNothingBehind) {
  TempDir dir;
  StatusRecord r;
  r.sid = 7;
  std::string error;
  EXPECT_FALSE(WriteStatusFile(dir.File("no/such/ZUVA.tmp"), r, &error));
  EXPECT_NE(error.find("no/such"), std::string::npos);
  ASSERT_TRUE(WriteStatusFile(dir.File("ZUVA.tmp"), r, &error)) << error;
  ASSERT_TRUE(WriteStatusFile(dir.File("ZUVA.tmp"), r, &error)) << error;
  EXPECT_EQ(system(("test \"$(ls -A " + dir.Path() + ")\" = ZUVA.tmp").c_str()), 0);  // no temporary
}

// The C library under the standard DVB layer: a section filter's PID picks
// which queued sections the following reads return; an empty queue times out.
class SectionLibrary : public DeviceIO {
 public:
  std::map<int, std::deque<tsgen::Bytes>> sections;
  std::vector<std::string> opened;
  int Open(const char* path, int) override {
    opened.push_back(path);
    return 7;
  }
  int Close(int) override { return 0; }
  ssize_t Read(int, void* buffer, size_t count) override {
    auto& queue = sections[pid_];
    if (queue.empty()) {
      errno = ETIMEDOUT;
      return -1;
    }
    const tsgen::Bytes s = queue.front();
    queue.pop_front();
    memcpy(buffer, s.data(), std::min(count, s.size()));
    return static_cast<ssize_t>(std::min(count, s.size()));
  }
  int Ioctl(int, unsigned long request, void* arg) override {
    if (request == DMX_SET_FILTER) pid_ = static_cast<dmx_sct_filter_params*>(arg)->pid;
    return 0;
  }
  void* Mmap(void*, size_t, int, int, int, off_t) override { return nullptr; }
  int Munmap(void*, size_t) override { return 0; }

 private:
  int pid_ = -1;
};

TEST(StatusTool, FindsTheServiceThroughTheStandardDvbLayer) {
  using namespace tsgen;
  const Bytes ttx = TeletextDescriptor({{"fra", 2, 0x888}});
  const Bytes pmt = BuildPMT(0x100, 0x200, {}, {{0x1B, 0x200, {}}, {0x06, 0x201, Descriptor(0x6A, {0})},
                                                {0x03, 0x202, {}}, {0x06, 0x203, ttx}});
  const Bytes otherPmt = BuildPMT(0x101, 0x300, {}, {{0x02, 0x300, {}}});
  TempDir dir;
  dir.Write("channels.conf", "[Chaîne]\nSERVICE_ID = 256\nVIDEO_PID = 4000\n");
  struct Case {
    std::vector<std::string> args;
    bool pat;
    int status;
    std::string file;  // or the start of the error
  } cases[] = {
      // The PMT PID is shared: the other program's section comes first.
      {{"--sid", "256"}, true, 0, "256\n512\n513\n515\n2\n0\n80\n"},
      {{"--channel", "Chaîne", "--channels", dir.File("channels.conf")}, true, 0, "256\n4000\n513\n515\n2\n0\n80\n"},
      {{"--sid", "258"}, true, 2, "zuva-status: service 258 is not in the PAT"},
      {{"--sid", "256"}, false, 1, "zuva-status: no PAT on demux"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    SectionLibrary library;
    if (c.pat) library.sections[0] = {BuildPAT(1, {{0, 16}, {0x101, 80}, {0x100, 80}})};
    library.sections[80] = {otherPmt, pmt};
    LinuxDvbIO standard(&library);
    Platform platform;
    platform.io = &standard;
    platform.paths = Paths::Under(dir.Path());
    platform.paths.demux = "/dev/dvb/card0/demux0";
    dir.Remove("ZUVA.tmp");
    std::string err;
    ASSERT_EQ(Status(c.args, platform, nullptr, &err), c.status) << err;
    EXPECT_EQ(library.opened, std::vector<std::string>{"/dev/dvb/adapter0/demux0"});
    if (c.status == 0) EXPECT_EQ(ReadWholeFile(dir.File("ZUVA.tmp")), c.file);
    else EXPECT_EQ(err.rfind(c.file, 0), 0u) << err;
  }
}

TEST(StatusTool, TakesTheDaemonToTheServiceOnTheSimulatedDevices) {
  TempDir dir;
  DeviceIO* devices = nullptr;
  replay::Options o;
  o.recording = kSample;
  o.speed = 0;
  o.logOut = nullptr;
  o.keepLog = true;
  o.workDir = dir.Path() + "/box";
  o.settings = {"Language fre"};
  o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* { return devices = sim; };
  int cleared = -1, named = -1;
  auto run = [&](std::vector<std::string> args, int* status) {
    return [&, args, status](const std::string& workDir) {
      Platform platform;
      platform.io = devices;
      platform.paths = Paths::Under(workDir);
      *status = Status(args, platform);
    };
  };
  o.actions = {{0.0, run({"--clear"}, &cleared)}, {6.0, run({"--sid", "4006"}, &named)}};
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(cleared, 0);
  EXPECT_EQ(named, 0);
  EXPECT_NE(r.log.find("Could not find ZUVA.tmp"), std::string::npos);
  EXPECT_NE(r.log.find("Service changed: SID=4006, PMT=160"), std::string::npos);
  // Nothing before the tool named the service; the subtitles after it.
  ASSERT_FALSE(r.srt.empty());
  EXPECT_GE(r.srt.front().startMs, 6000);
  EXPECT_EQ(ReadWholeFile(o.workDir + "/ZUVA.tmp").substr(0, 5), "4006\n");
}

TEST(ReplayOutputs, ScanAsJsonAndContactSheet) {
  std::vector<replay::ProgramScan> programs;
  std::string error;
  ASSERT_TRUE(replay::ScanPrograms(kSample, programs, error)) << error;
  EXPECT_EQ(replay::ScanToJson(programs),
            "{\"programs\": [\n  {\"number\": 4006, \"pmt_pid\": 160, \"scan_result\": 1,\n"
            "   \"teletext\": [\n    {\"pid\": 1068, \"page\": \"888\", \"type\": 5, \"language\": \"fre\"},\n"
            "    {\"pid\": 1068, \"page\": \"889\", \"type\": 2, \"language\": \"fre\"}\n   ],\n"
            "   \"dvb\": []}\n]}\n");
  replay::ProgramScan odd;
  odd.dvb.push_back({}); odd.dvb[0].language = "\"\xE9\\";
  EXPECT_NE(replay::ScanToJson({odd}).find("\"language\": \"\\\"\\u00e9\\\\\""), std::string::npos);

  SheetCell cell;
  cell.startMs = 3723004;
  cell.lines = {"[bitmap 300x40 at 200,450]", "Un été"};
  EXPECT_EQ(SheetLabel(cell), (std::vector<std::string>{"01:02:03.004", "[bitmap 300x40]", "Un été"}));

  TempDir dir;
  replay::Options o;
  o.recording = kSample;
  o.speed = 0;
  o.logOut = nullptr;
  o.settings = {"Language fre"};
  o.sheetFile = dir.File("sheet.png");
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.sheetError, "");
  const std::string png = ReadWholeFile(o.sheetFile);
  ASSERT_GT(png.size(), 24u);
  auto be32 = [&](size_t at) {
    return (static_cast<uint8_t>(png[at]) << 24) | (static_cast<uint8_t>(png[at + 1]) << 16) |
           (static_cast<uint8_t>(png[at + 2]) << 8) | static_cast<uint8_t>(png[at + 3]);
  };
  // Nine subtitles: three rows of three half-size screens with their labels.
  EXPECT_EQ(r.srt.size(), 9u);
  EXPECT_EQ(be32(16), 8 + 3 * (360 + 8));
  EXPECT_EQ(be32(20), 8 + 3 * (288 + 82 + 8));
}

}  // namespace
