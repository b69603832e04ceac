#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "common/log.h"
#include "config/channels.h"
#include "config/config.h"
#include "support/temp_dir.h"

namespace {

// Replaces the one occurrence of `from`; clears `ok` when there is none.
std::string Replace(std::string text, const std::string& from, const std::string& to, bool& ok) {
  const std::string::size_type at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) ok = false;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The installed init script, pointed at a stand-in daemon and at files in a
// directory of its own instead of /var/run and /var/log.
class InitScript {
 public:
  // `onTerm` is what the stand-in does on SIGTERM.
  explicit InitScript(const std::string& onTerm) {
    dir_.Write("zuva",
               "#!/bin/sh\n"
               "trap '" + onTerm + "' TERM\n"
               "echo 'ZUVA: Booting...' >&2\n"
               "while :; do sleep 0.1; done\n");
    chmod(dir_.File("zuva").c_str(), 0755);

    bool ok = true;
    std::string script = ReadWholeFile(std::string(ZUVA_DATA_DIR) + "/init.d/zuva");
    script = Replace(script, "@ZUVA_DAEMON@", dir_.File("zuva"), ok);
    script = Replace(script, "\nPIDFILE=/var/run/zuva.pid\n",
                     "\nPIDFILE=" + dir_.File("zuva.pid") + "\n", ok);
    script = Replace(script, "\nZUVA_LOG=/var/log/zuva.log\n",
                     "\nZUVA_LOG=" + dir_.File("zuva.log") + "\n", ok);
    script = Replace(script, "\nRELOAD_FLAG=/tmp/.ZUVA_Reload\n",
                     "\nRELOAD_FLAG=" + dir_.File(".ZUVA_Reload") + "\n", ok);
    script = Replace(script, "\nZUVA_STOP_TIMEOUT=20\n", "\nZUVA_STOP_TIMEOUT=3\n", ok);
    script = Replace(script, "\n[ -r /etc/default/zuva ] && . /etc/default/zuva\n", "\n", ok);
    // A script that still names the system's files must not run.
    dir_.Write("init", ok ? script : "exit 99\n");
  }

  ~InitScript() {
    // Whatever the test left running is ended here, by its own id.
    const pid_t pid = Pid();
    if (pid > 0 && kill(pid, 0) == 0) kill(pid, SIGKILL);
  }

  // Runs the script with `action`; its exit code, and its output in `out`.
  int Run(const std::string& action, std::string* out = nullptr) {
    const std::string command =
        "/bin/sh " + dir_.File("init") + " " + action + " > " + dir_.File("out") + " 2>&1";
    const int status = std::system(command.c_str());
    if (out != nullptr) *out = ReadWholeFile(dir_.File("out"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t Pid() const {
    if (!dir_.Exists("zuva.pid")) return 0;
    return static_cast<pid_t>(std::atoi(ReadWholeFile(dir_.File("zuva.pid")).c_str()));
  }

  // Waits until the stand-in has set up its signal handling and said so.
  bool WaitUntilBooted() {
    for (int i = 0; i < 500; ++i) {
      if (ReadWholeFile(dir_.File("zuva.log")).find("Booting") != std::string::npos) return true;
      usleep(10000);
    }
    return false;
  }

  TempDir& Dir() { return dir_; }

 private:
  TempDir dir_;
};

TEST(InitScript, StartsStopsAndReportsTheDaemon) {
  // The stand-in needs a moment to finish, as zuva finishes its cycle; stop
  // must not return before it has.
  InitScript init("sleep 1; echo clean exit >&2; exit 0");
  struct Step {
    const char* action;
    int code;
    const char* says;
  };
  const Step steps[] = {
      {"status", 3, "zuva is not running"},
      {"stop", 0, "zuva is not running"},
      {"start", 0, "zuva started (pid "},
      {"status", 0, "zuva is running (pid "},
      {"start", 0, "zuva is already running"},
      {"reload", 0, "reload requested"},
      {"stop", 0, "zuva stopped"},
      {"status", 3, "zuva is not running"},
      {"bogus", 2, "Usage:"},
  };
  pid_t started = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.action);
    std::string out;
    EXPECT_EQ(init.Run(step.action, &out), step.code) << out;
    EXPECT_NE(out.find(step.says), std::string::npos) << out;
    if (std::string(step.action) == "start" && started == 0) {
      started = init.Pid();
      ASSERT_GT(started, 0);
      ASSERT_TRUE(init.WaitUntilBooted());
      EXPECT_EQ(kill(started, 0), 0);
    }
    if (std::string(step.action) == "reload") {
      EXPECT_TRUE(init.Dir().Exists(".ZUVA_Reload"));
    }
    if (std::string(step.action) == "stop" && started != 0) {
      EXPECT_NE(kill(started, 0), 0) << "stop returned while the daemon still ran";
      EXPECT_NE(ReadWholeFile(init.Dir().File("zuva.log")).find("clean exit"), std::string::npos);
      EXPECT_FALSE(init.Dir().Exists("zuva.pid"));
    }
  }
  const std::string log = ReadWholeFile(init.Dir().File("zuva.log"));
  EXPECT_EQ(log, "ZUVA: Booting...\nclean exit\n");
}

TEST(InitScript, StalePidFileOfAnotherProgramIsNotTheDaemon) {
  InitScript init("exit 0");
  // Our own id: alive, but not a zuva.
  init.Dir().Write("zuva.pid", std::to_string(getpid()) + "\n");
  std::string out;
  EXPECT_EQ(init.Run("status", &out), 1) << out;
  EXPECT_NE(out.find("not running, but"), std::string::npos) << out;
  EXPECT_EQ(init.Run("stop", &out), 0) << out;  // must not signal us
  EXPECT_FALSE(init.Dir().Exists("zuva.pid"));
  EXPECT_EQ(init.Run("start", &out), 0) << out;
  EXPECT_NE(init.Pid(), getpid());
  ASSERT_TRUE(init.WaitUntilBooted());
  EXPECT_EQ(init.Run("stop", &out), 0) << out;
}

}  // namespace
