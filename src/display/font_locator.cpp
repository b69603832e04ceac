#include "display/font_locator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace {

// FreeType keeps no errno: a missing file and a file it may not read both
// come back as "cannot open resource". Its error list, turned into a table.
#undef FTERRORS_H_
#define FT_ERRORDEF(e, v, s) {v, s},
#define FT_ERROR_START_LIST {
#define FT_ERROR_END_LIST {0, nullptr}};
const struct {
  int code;
  const char* text;
} kFreeTypeErrors[] =
#include FT_ERRORS_H

constexpr int kMatcherSeconds = 3;

}  // namespace

FontFallback FontFallback::Default() {
  FontFallback f;
  f.files = {
      "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",                 // Debian, Ubuntu
      "/usr/share/fonts/dejavu-sans-fonts/DejaVuSans.ttf",              // Fedora
      "/usr/share/fonts/TTF/DejaVuSans.ttf",                            // Arch
      "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf",  // Debian
      "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
      "/usr/share/fonts/liberation-sans/LiberationSans-Regular.ttf",    // Fedora
      "/usr/share/fonts/liberation/LiberationSans-Regular.ttf",         // Arch
  };
  f.matcher = "fc-match";
  return f;
}

const char* FreeTypeErrorText(FT_Error error) {
  for (const auto& e : kFreeTypeErrors) {
    if (e.text != nullptr && e.code == error) return e.text;
  }
  return "unknown FreeType error";
}

std::string FontProblem(FT_Library library, const std::string& path) {
  // Opened here first for the system's reason, which FreeType would lose.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat info {};
  const bool directory = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  close(fd);
  if (directory) return strerror(EISDIR);
  FT_Face face = nullptr;
  const FT_Error error = FT_New_Face(library, path.c_str(), 0, &face);
  if (error != 0) return FreeTypeErrorText(error);
  FT_Done_Face(face);
  return "";
}

std::string AskFontMatcher(const std::string& program) {
  if (program.empty()) return "";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "";

  // Run directly, not through a shell; it inherits no descriptor of ours
  // but its standard output, the pipe.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string format = "--format=%{file}";
  std::string family = "sans";
  std::string name = program;
  char* argv[] = {&name[0], &format[0], &family[0], nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return "";
  }

  std::string answer;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kMatcherSeconds);
  while (answer.size() < 4096) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p = {out[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[512];
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended = got == 0;
      break;
    }
    answer.append(buffer, static_cast<size_t>(got));
  }
  close(out[0]);
  // It has said all it will; it gets what is left of the time to exit.
  int status = 0;
  pid_t done = 0;
  while (ended && std::chrono::steady_clock::now() < deadline) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    usleep(10000);
  }
  if (done != pid) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return "";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "";

  const auto end = answer.find('\n');
  if (end != std::string::npos) answer.erase(end);
  if (answer.empty() || answer[0] != '/') return "";
  return answer;
}
