#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "support/temp_dir.h"

namespace {

// The installed init script, pointed at a stand-in daemon and at files in a
// directory of its own instead of /var/run and /var/log. The stand-in runs
// until it is signalled and then takes a moment to finish, as zuva finishes
// its cycle.
class InitScript {
 public:
  InitScript() {
    dir.Write("zuva",
              "#!/bin/sh\n"
              "trap 'kill $! 2>/dev/null; sleep 0.5; echo clean exit >&2; exit 0' TERM\n"
              "echo 'ZUVA: Booting...' >&2\n"
              "while :; do sleep 60 & wait $!; done\n");
    chmod(dir.File("zuva").c_str(), 0755);
    std::string script = ReadWholeFile(std::string(ZUVA_DATA_DIR) + "/init.d/zuva");
    bool ok = true;
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"@ZUVA_DAEMON@", dir.File("zuva")},
             {"=/var/run/zuva.pid\n", "=" + dir.File("zuva.pid") + "\n"},
             {"=/var/log/zuva.log\n", "=" + dir.File("zuva.log") + "\n"},
             {"=/tmp/.ZUVA_Reload\n", "=" + dir.File(".ZUVA_Reload") + "\n"},
             {"\n[ -r /etc/default/zuva ] && . /etc/default/zuva\n", "\n"}}) {
      const auto at = script.find(from);
      ok = ok && at != std::string::npos && script.find(from, at + 1) == std::string::npos;
      if (ok) script.replace(at, from.size(), to);
    }
    // A script that still names the system's files must not run.
    dir.Write("init", ok ? script : "exit 99\n");
  }
  ~InitScript() {
    // Whatever the test left running is ended here, by its own id.
    if (Pid() > 0 && Pid() != getpid()) kill(Pid(), SIGKILL);
  }

  // Runs the script with `action`; its exit code, and its output in `out`.
  int Run(const std::string& action, std::string& out) {
    const int status = std::system(
        ("/bin/sh " + dir.File("init") + " " + action + " > " + dir.File("out") + " 2>&1").c_str());
    out = ReadWholeFile(dir.File("out"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t Pid() const { return std::atoi(ReadWholeFile(dir.File("zuva.pid")).c_str()); }
  // Waits until the stand-in has set up its signal handling and said so.
  bool WaitUntilBooted() const {
    for (int i = 0; i < 3000; ++i, usleep(10000)) {
      if (ReadWholeFile(dir.File("zuva.log")).find("Booting") != std::string::npos) return true;
    }
    return false;
  }

  TempDir dir;
};

// A stale PID file naming a live process that is not zuva (this test) is
// reported, removed by stop without signalling it, and replaced by start.
TEST(InitScript, StartsStopsAndReportsTheDaemon) {
  InitScript init;
  init.dir.Write("zuva.pid", std::to_string(getpid()) + "\n");
  const std::tuple<std::string, int, const char*> steps[] = {
      {"status", 1, "not running, but"},      {"stop", 0, "zuva is not running"},
      {"start", 0, "zuva started (pid "},     {"status", 0, "zuva is running (pid "},
      {"start", 0, "zuva is already running"}, {"reload", 0, "reload requested"},
      {"stop", 0, "zuva stopped"},            {"status", 3, "zuva is not running"},
      {"bogus", 2, "Usage:"},
  };
  pid_t started = 0;
  for (size_t i = 0; i < std::size(steps); ++i) {
    const auto& [action, code, says] = steps[i];
    SCOPED_TRACE(action);
    std::string out;
    EXPECT_EQ(init.Run(action, out), code) << out;
    EXPECT_NE(out.find(says), std::string::npos) << out;
    if (action == "start" && started == 0) {
      started = init.Pid();
      ASSERT_GT(started, 0);
      ASSERT_NE(started, getpid());
      ASSERT_TRUE(init.WaitUntilBooted());
    }
    EXPECT_EQ(init.dir.Exists(".ZUVA_Reload"), i >= 5);
    if (action == "stop") {
      EXPECT_FALSE(init.dir.Exists("zuva.pid"));
      EXPECT_TRUE(started == 0 || kill(started, 0) != 0) << "stop returned while the daemon ran";
    }
  }
  EXPECT_EQ(ReadWholeFile(init.dir.File("zuva.log")), "ZUVA: Booting...\nclean exit\n");
}

#ifdef ZUVA_DAEMON_PATH
// True when a line of the manual page `name` (its source, beside data/ in the
// source tree) starts with `start` and holds every one of `parts`.
bool HasLine(const std::string& name, const std::string& start,
             const std::vector<std::string>& parts) {
  std::istringstream text(ReadWholeFile(std::string(ZUVA_DATA_DIR) + "/../man/" + name + ".scd"));
  for (std::string line; std::getline(text, line);) {
    bool all = line.rfind(start, 0) == 0;
    for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
    if (all) return true;
  }
  return false;
}

// Every option a program's --help offers has an entry of its own in its
// manual page (a line that starts with it in bold), and zuva.conf(5) names
// every built-in setting with its built-in value on the line that starts it.
TEST(ManualPages, DescribeEveryOptionAndSettingWithItsDefault) {
  std::string dir = ZUVA_DAEMON_PATH;
  dir.erase(dir.rfind('/') + 1);
  const std::regex option(R"((?:^|[\s,\[|])(--?[A-Za-z][A-Za-z0-9-]*))");
  for (const std::string page : {"zuva.8", "zuva-status.1", "zuva-replay.1"}) {
    std::string help;
    Shell(dir + page.substr(0, page.find('.')) + " --help", help);
    int options = 0;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
      ++options;
      EXPECT_TRUE(HasLine(page, "*-", {"*" + (*it)[1].str() + "*"})) << (*it)[1] << " in " << page;
    }
    EXPECT_GE(options, 3) << help;
  }
  LogCapture capture;
  Config().dump();
  std::istringstream dump(capture.Text());
  const std::regex entry(R"(ZUVA: CONFIG: (\S+) = (.*))");
  int settings = 0;
  for (std::string line; std::getline(dump, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, entry)) continue;
    ++settings;
    const std::string key = "*" + m[1].str() + "*", value = m[2];
    EXPECT_TRUE(HasLine("zuva.conf.5", "*", {key, "(default ", "*" + value + "*"}) ||
                HasLine("zuva.conf.5", "*", {key, "(default ", "_" + value + "_"}))
        << key << " with its default " << value << " in zuva.conf(5)";
  }
  EXPECT_GE(settings, 21);
}
#endif

}  // namespace
