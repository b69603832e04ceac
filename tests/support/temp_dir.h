#pragma once

#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/zuva-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) std::abort();
    path_ = templ;
  }
  ~TempDir() {
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to the named file, replacing it.
  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << content;
  }
  bool Exists(const std::string& name) const { return access(File(name).c_str(), F_OK) == 0; }

 private:
  std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// Runs `command` with /bin/sh: what it printed on standard output in `out`,
// and its exit status (-1 when it did not exit).
inline int Shell(const std::string& command, std::string& out) {
  out.clear();
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.append(chunk, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
