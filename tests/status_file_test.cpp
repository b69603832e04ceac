#include <gtest/gtest.h>

#include "common/log.h"
#include "support/app_harness.h"

namespace {

struct Status {
  int sid, vpid, apid, tpid, videoFormat, playbackMode, pmtPid;
  bool operator==(const Status& o) const {
    return sid == o.sid && vpid == o.vpid && apid == o.apid && tpid == o.tpid &&
           videoFormat == o.videoFormat && playbackMode == o.playbackMode && pmtPid == o.pmtPid;
  }
};

std::ostream& operator<<(std::ostream& os, const Status& s) {
  return os << "{sid " << s.sid << " vpid " << s.vpid << " apid " << s.apid << " tpid " << s.tpid
            << " format " << s.videoFormat << " mode " << s.playbackMode << " pmt " << s.pmtPid
            << "}";
}

Status Of(const Application& app) {
  return {app.Sid(),         app.Vpid(),         app.Apid(), app.Tpid(),
          app.VideoFormat(), app.PlaybackMode(), app.PmtPid()};
}

const Status kReset = {-1, -1, -1, -1, 4, 0, -1};

// A read that fails part-way keeps what it read so far and reports no change;
// the next complete read reports the new service.
TEST(StatusFile, PartialReads) {
  struct Case {
    const char* file;
    const char* logLine;
    Status after;
  };
  const Case cases[] = {
      {"", "ZUVA: Failed to read SID\n", kReset},
      {"abc\n1\n2\n3\n0\n0\n9\n", "ZUVA: Failed to read SID\n", kReset},
      {"300\n", "ZUVA: Failed to read VPID\n", {300, -1, -1, -1, 4, 0, -1}},
      {"300\n101\n", "ZUVA: Failed to read APID\n", {300, 101, -1, -1, 4, 0, -1}},
      {"300\n101\n102\n", "ZUVA: Failed to read TPID\n", {300, 101, 102, -1, 4, 0, -1}},
      {"300\n101\n102\n103\n2\n", "ZUVA: Failed to read Seekable\n",
       {300, 101, 102, 103, 16, 0, -1}},
      {"300\n101\n102\n103\n2\n1\nx\n", "ZUVA: Failed to read PMT\n",
       {300, 101, 102, 103, 16, 2, -1}},
      {"300\n101\n102\n103\n2\n1\n-1\n", "ZUVA: Strange...no PMT??? Hrm...\n",
       {300, 101, 102, 103, 16, 2, -1}},
  };
  for (const Case& c : cases) {
    AppHarness h;
    LogCapture capture;
    Application& app = h.Make();
    capture.Clear();
    h.dir.Write("ZUVA.tmp", c.file);
    const int result = app.ReadServiceStatus();
    const bool complete = std::string(c.logLine).find("Strange") != std::string::npos;
    EXPECT_EQ(result, complete ? 1 : 0) << c.file;
    EXPECT_EQ(capture.Text(), c.logLine) << c.file;
    EXPECT_EQ(Of(app), c.after) << c.file;

    h.dir.Write("ZUVA.tmp", "300\n101\n102\n103\n2\n0\n100\n");
    EXPECT_EQ(app.ReadServiceStatus(), 1) << "complete read after " << c.file;
  }
}

// The flag file is removed as a plain file name, whatever characters its
// configured path holds: nothing of it is ever handed to a shell.
TEST(StatusFile, ReloadFlagPathIsNeverInterpreted) {
  AppHarness h;
  const std::string name = "flag;touch pwned $(id)";
  h.platform.paths.reloadFlag = h.dir.File(name);
  LogCapture capture;
  Application& app = h.Make();
  h.WriteStatus(300, 1, 2, 3, 0, 0, 100);
  h.dir.Write(name, "");
  EXPECT_EQ(app.ReadServiceStatus(), 1);
  EXPECT_FALSE(h.dir.Exists(name));
  EXPECT_EQ(CountOf(capture.Text(), "Reload configs requested."), 1);
}

}  // namespace
