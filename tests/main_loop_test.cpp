#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "support/app_harness.h"

namespace {

TEST(MainLoop, WithoutStatusFileTheTwentiethCycleRescansThenEveryCycle) {
  AppHarness h;
  LogCapture capture;
  Application& app = h.Make();
  h.onCycle = [&](int cycle) {
    if (cycle >= 23) app.Stop();  // the 23rd cycle is the last
  };
  app.Run();
  // Every cycle looks for the file; the 20th to the 23rd also scan, and fail.
  const std::string log = capture.Text();
  EXPECT_EQ(CountOf(log, "Could not find ZUVA.tmp...is Python plugin running?\n"), 23);
  EXPECT_EQ(CountOf(log, "Failed to GetAllPIDs()...try again.\n"), 4);
  EXPECT_EQ(CountOf(log, "ZUVA: No settings file " + h.platform.paths.settings +
                             ": running on the defaults.\n"), 1);
  const std::string beforeScan = log.substr(0, log.find("Service changed: SID=-1, PMT=-1\n"));
  EXPECT_EQ(CountOf(beforeScan, "Could not find ZUVA.tmp"), 20);
}

// A read that fails part-way keeps what it read so far and reports no change;
// the next complete read reports the new service. The reload flag is removed
// as a plain file name, whatever its path holds: none of it reaches a shell.
TEST(StatusFile, PartialReadsAndTheReloadFlag) {
  using Status = std::vector<int>;  // sid vpid apid tpid format mode pmt
  struct Case { const char* file; const char* logLine; Status after; };
  const Case cases[] = {
      {"abc\n1\n2\n3\n0\n0\n9\n", "ZUVA: Failed to read SID\n", {-1, -1, -1, -1, 4, 0, -1}},
      {"300\n", "ZUVA: Failed to read VPID\n", {300, -1, -1, -1, 4, 0, -1}},
      {"300\n101\n102\n", "ZUVA: Failed to read TPID\n", {300, 101, 102, -1, 4, 0, -1}},
      {"300\n101\n102\n103\n2\n", "ZUVA: Failed to read Seekable\n",
       {300, 101, 102, 103, 16, 0, -1}},
      {"300\n101\n102\n103\n2\n1\nx\n", "ZUVA: Failed to read PMT\n",
       {300, 101, 102, 103, 16, 2, -1}},
      {"300\n101\n102\n103\n2\n1\n-1\n", "ZUVA: Strange...no PMT??? Hrm...\n",
       {300, 101, 102, 103, 16, 2, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    AppHarness h;
    const std::string flag = "flag;touch pwned $(id)";
    h.platform.paths.reloadFlag = h.dir.File(flag);
    LogCapture capture;
    Application& app = h.Make();
    capture.Clear();
    h.dir.Write("ZUVA.tmp", c.file);
    const bool complete = std::string(c.logLine).find("Strange") != std::string::npos;
    EXPECT_EQ(app.ReadServiceStatus(), complete ? 1 : 0);
    EXPECT_EQ(capture.Text(), c.logLine);
    EXPECT_EQ(Status({app.Sid(), app.Vpid(), app.Apid(), app.Tpid(), app.VideoFormat(),
                      app.PlaybackMode(), app.PmtPid()}),
              c.after);
    h.dir.Write("ZUVA.tmp", "300\n101\n102\n103\n2\n0\n100\n");
    h.dir.Write(flag, "");
    EXPECT_EQ(app.ReadServiceStatus(), 1);
    EXPECT_FALSE(h.dir.Exists(flag));
    EXPECT_EQ(CountOf(capture.Text(), "Reload configs requested."), 1);
  }
}

}  // namespace
