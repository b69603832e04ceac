#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "common/log.h"
#include "support/app_harness.h"

namespace {

// Splits the captured log at the cycle markers the harness writes, so that a
// test can ask what happened in cycle n.
std::vector<std::string> ByCycle(const std::string& text) {
  std::vector<std::string> cycles(1);
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    const std::string line = text.substr(start, end - start + 1);
    if (line.rfind("ZUVA: --- cycle ", 0) == 0) {
      cycles.emplace_back();
    } else {
      cycles.back() += line;
    }
    start = end + 1;
  }
  return cycles;
}

void Mark(int cycle) { log("--- cycle %d\n", cycle); }

TEST(MainLoop, WithoutStatusFileTheTwentiethCycleRescansThenEveryCycle) {
  AppHarness h;
  LogCapture capture;
  h.Make();
  h.RunCycles(23, Mark);
  const auto cycles = ByCycle(capture.Text());
  ASSERT_EQ(cycles.size(), 24u);
  for (int c = 1; c <= 23; ++c) {
    EXPECT_EQ(CountOf(cycles[c], "Could not find ZUVA.tmp...is Python plugin running?\n"), 1)
        << "cycle " << c;
    const int scans = CountOf(cycles[c], "Service changed: SID=-1, PMT=-1\n");
    EXPECT_EQ(scans, c >= 20 ? 1 : 0) << "cycle " << c;
    EXPECT_EQ(CountOf(cycles[c], "Failed to GetAllPIDs()...try again.\n"), scans);
  }
}

// Without decoding the countdown would rescan in cycle 20; a running decoder
// holds it back for as long as the status stays the same.

#ifdef ZUVA_DAEMON_PATH
// The daemon binary itself: banner, a cycle without status file, and a clean
// exit on SIGTERM.
TEST(Daemon, StartsLogsAndStopsCleanlyOnSigterm) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(pipeFds[1], 2);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execl(ZUVA_DAEMON_PATH, "zuva", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  usleep(1300000);
  kill(pid, SIGTERM);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out.rfind("ZUVA: Booting...\nZUVA: Version: 2.07\nZUVA: Compiled at: ", 0), 0u);
  EXPECT_NE(out.find("ZUVA: DVBSubtitle created.\n"), std::string::npos);
  EXPECT_NE(out.find("ZUVA: Exit from main loop...bye bye...\n"), std::string::npos);
  const bool statusFilePresent = access("/tmp/ZUVA.tmp", F_OK) == 0;
  if (!statusFilePresent) {
    EXPECT_NE(out.find("ZUVA: Could not find ZUVA.tmp...is Python plugin running?\n"),
              std::string::npos);
  }
}
#endif

}  // namespace
