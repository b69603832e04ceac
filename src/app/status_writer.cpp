#include "app/status_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

std::string FormatStatus(const StatusRecord& r) {
  char text[128];
  snprintf(text, sizeof text, "%d\n%d\n%d\n%d\n%d\n%d\n%d\n", r.sid, r.vpid, r.apid, r.tpid,
           r.aspect, r.seekable, r.pmtPid);
  return text;
}

bool WriteStatusFile(const std::string& path, const StatusRecord& record, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = what + ": " + strerror(errno);
    return false;
  };
  // The rename is atomic only within one file system, so the temporary file
  // lives beside the status file.
  std::vector<char> temp(path.begin(), path.end());
  const char suffix[] = ".XXXXXX";
  temp.insert(temp.end(), suffix, suffix + sizeof suffix);
  const int fd = mkstemp(temp.data());
  if (fd < 0) return fail("cannot create a temporary file beside " + path);
  // mkstemp makes the file private; the daemon may run as another user.
  fchmod(fd, 0644);
  const std::string text = FormatStatus(record);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      close(fd);
      unlink(temp.data());
      errno = saved;
      return fail("cannot write " + std::string(temp.data()));
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temp.data(), path.c_str()) != 0) {
    const int saved = errno;
    unlink(temp.data());
    errno = saved;
    return fail("cannot replace " + path);
  }
  return true;
}
