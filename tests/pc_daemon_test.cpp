// The daemon as a PC user runs it: a font found when the configured one is
// missing, SIGHUP, --config-dir, misspelt settings keys.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "support/app_harness.h"
#include "support/sim_screen.h"

namespace {

TEST(PcDaemon, FontFallbackWhenTheConfiguredFontCannotBeOpened) {
  TempDir files;
  files.Write("notafont.ttf", "just text\n");
  for (const char* script :
       {"relative echo fonts/DejaVuSans.ttf", "fails exit 1", "hangs exec sleep 20"}) {
    const std::string name(script, strchr(script, ' '));
    files.Write(name, std::string("#!/bin/sh\n") + strchr(script, ' ') + "\n");
    chmod(files.File(name).c_str(), 0755);
  }
  const std::string missing = "/nonexistent/box.ttf";
  const std::string failed = "ZUVA: FT_New_Face failed: ";
  const std::string notFound = failed + "No such file or directory, for font: " + missing + "\n";
  const std::string none = "ZUVA: No font could be opened: nothing will be drawn\n";
  const std::string fallback = "ZUVA: Using fallback font: ";
  std::string fcMatch;  // what fontconfig names, where it is installed
  Shell("fc-match --format=%{file} sans 2>/dev/null", fcMatch);
  const std::string notAFont = files.File("notafont.ttf");
  // log: every line about fonts
  struct Case { const char* name; std::string font; FontFallback fallback; std::string log; } cases[] = {
      {"missing", missing, {{"/nonexistent/a.ttf", kDejaVuSans}, ""},
       notFound + fallback + kDejaVuSans + "\n"},
      {"not a font", notAFont, {{kDejaVuSans}, ""},
       failed + "unknown file format, for font: " + notAFont + "\n" + fallback + kDejaVuSans +
           "\n"},
      {"a folder", files.Path(), {{kDejaVuSans}, ""},
       failed + "Is a directory, for font: " + files.Path() + "\n" + fallback + kDejaVuSans + "\n"},
      {"fontconfig names a font", missing, {{}, "fc-match"}, notFound + fallback + fcMatch + "\n"},
      {"matcher names a relative path", missing, {{}, files.File("relative")}, notFound + none},
      {"matcher fails", missing, {{}, files.File("fails")}, notFound + none},
      {"matcher missing", missing, {{"/nonexistent/b.ttf"}, "/nonexistent/m"}, notFound + none},
      {"matcher hangs", missing, {{}, files.File("hangs")}, notFound + none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fallback.matcher == "fc-match" && fcMatch.empty()) continue;
    SimScreen s;
    s.fb->SetFontFallback(c.fallback);
    LogCapture capture;
    const auto start = std::chrono::steady_clock::now();
    const int result = s.Init(c.font);
    // A hung matcher is killed.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    std::string fontLines;
    std::istringstream lines(capture.Text());
    for (std::string line; std::getline(lines, line);) {
      if (line.find("font") != std::string::npos) fontLines += line + "\n";
    }
    EXPECT_EQ(fontLines, c.log);
    EXPECT_EQ(result, c.log.find(none) == std::string::npos ? 0 : -1);
    // A row drawn as the decoder draws it: text when a font opened; otherwise
    // nothing at all, and not a word more in the log.
    capture.Clear();
    s.fb->Lock();
    s.fb->AllocBackBuffer(40, 0);
    s.fb->UseBackBuffer(true);
    s.fb->RenderText("Hello", 10, 30, 700, 0, 28, 0xFFFFFFFFu);
    s.fb->CopyBackBuffer(500);
    s.fb->FreeBackBuffer();
    s.fb->Unlock();
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(s.UsedRows().empty(), result != 0);
  }
}

#ifdef ZUVA_DAEMON_PATH
// Starts a program of this build in /, its log on `err`.
pid_t Start(const std::vector<std::string>& args, int err) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir("/") != 0 || dup2(err, 2) != 2) _exit(126);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string daemon = ZUVA_DAEMON_PATH;
  execv((daemon.substr(0, daemon.rfind('/') + 1) + args[0]).c_str(), argv.data());
  _exit(127);
}

// Reads the daemon's log until `needle` appears in it (false after 10 s).
bool WaitFor(int fd, std::string& log, const std::string& needle) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (char buffer[4096]; log.find(needle) == std::string::npos;) {
    pollfd p = {fd, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (poll(&p, 1, 200) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    log.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST(PcDaemon, SighupReloadsTheSettingsFromTheConfigDir) {
  TempDir dir;
  // The devices: an option wins over its setting, a setting over the box's;
  // a bad number is named, and a device that does not open says why.
  dir.Write("zuva.conf", "Language fin\nAdapter x\nDemux 2\nFrameBuffer /dev/fb/7\n");
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  const pid_t pid = Start({"zuva", "--config-dir", dir.Path() + "/", "--adapter", "3",
                           "--framebuffer", "/nonexistent/fb"},
                          pipeFds[1]);
  close(pipeFds[1]);
  std::string log;
  const std::string loaded = "ZUVA: Load settings from: " + dir.File("zuva.conf") + "\n";
  EXPECT_TRUE(WaitFor(pipeFds[0], log, loaded)) << log;
  EXPECT_EQ(log.rfind("ZUVA: Booting...\nZUVA: Version: 2.07\nZUVA: Compiled at: ", 0), 0u) << log;
  EXPECT_NE(log.find("\nZUVA: CONFIG: Adapter \"x\" is not a number from 0 to 255: ignored\n"
                     "ZUVA: Device I/O: box driver on /dev/dvb/card3/demux2 and /nonexistent/fb\n"),
            std::string::npos) << log;
  EXPECT_TRUE(WaitFor(pipeFds[0], log, "ZUVA: Could not open frame buffer\n"
                                       "ZUVA: /nonexistent/fb: No such file or directory\n")) << log;
  EXPECT_TRUE(WaitFor(pipeFds[0], log, "ZUVA: CONFIG: Language = fin\n")) << log;
  // Each signal reloads once, the handler stays, and the new file counts.
  const char* rounds[] = {"ger", "ita"};
  for (int i = 0; i < 2; ++i) {
    // A misspelt key is named once per load; keys without a default are known.
    dir.Write("zuva.conf", std::string("Language ") + rounds[i] +
                               "\nLangauge x\nLangauge y\nOSDMessages 0\nOutlineSize 2\n"
                               "DVBMaxShowTime 0\nUseDVBSubtitles 0\n");
    kill(pid, SIGHUP);
    const std::string language = std::string("ZUVA: CONFIG: Language = ") + rounds[i] + "\n";
    EXPECT_TRUE(WaitFor(pipeFds[0], log, language)) << log;
    EXPECT_EQ(CountOf(log, "ZUVA: Reload configs requested.\n"), i + 1);
    EXPECT_EQ(CountOf(log, "ZUVA: CONFIG: Unknown key \"Langauge\" is ignored\n"), i + 1);
    EXPECT_EQ(CountOf(log, "Unknown key"), i + 1);
  }
  // A folder without the file is said so, not silently run on defaults.
  unlink(dir.File("zuva.conf").c_str());
  kill(pid, SIGHUP);
  EXPECT_TRUE(WaitFor(pipeFds[0], log, "ZUVA: No settings file " + dir.File("zuva.conf") +
                                           ": running on the defaults.\n")) << log;
  kill(pid, SIGTERM);
  EXPECT_TRUE(WaitFor(pipeFds[0], log, "ZUVA: Exit from main loop...bye bye...\n")) << log;
  EXPECT_EQ(CountOf(log, "ZUVA: DVBSubtitle created.\n"), 1);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

#endif

}  // namespace
