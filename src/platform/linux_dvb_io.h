#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <set>
#include <string>

#include "platform/device_io.h"

// Device I/O for machines whose demultiplexer speaks the standard Linux DVB
// API instead of the box's own driver. The daemon keeps issuing the box's
// paths, request numbers and records; this layer rewrites them on their way to
// the inner DeviceIO (the C library in production, a recorder in tests):
//
//   /dev/dvb/cardN/<node>M  ->  /dev/dvb/adapterN/<node>M
//   /dev/fb/N               ->  /dev/fbN
//
// and, on handles opened on a demultiplexer node, the box's five demux
// requests to their standard numbers with the standard records. Everything
// else (framebuffer requests, mmap, reads of other files) passes unchanged:
// the framebuffer requests and records are the same on both.
class LinuxDvbIO : public DeviceIO {
 public:
  // `inner` is not owned and must outlive this object.
  explicit LinuxDvbIO(DeviceIO* inner);
  LinuxDvbIO(const LinuxDvbIO&) = delete;
  LinuxDvbIO& operator=(const LinuxDvbIO&) = delete;

  int Open(const char* path, int flags) override;
  int Close(int fd) override;
  ssize_t Read(int fd, void* buffer, size_t count) override;
  // Box demux requests are translated; a record request with a null record,
  // or a record value the standard API has no counterpart for, fails with
  // EFAULT or EINVAL before anything reaches the inner I/O.
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
  int Munmap(void* addr, size_t length) override;

  // The standard node for a box device path; any other path comes back as it
  // is.
  static std::string MapPath(const std::string& path);
  // Whether `path` (box or standard spelling) names a demultiplexer node.
  static bool IsDemuxPath(const std::string& path);

  // Number of open handles this layer treats as demultiplexers; for tests.
  size_t DemuxHandles() const;

 private:
  bool IsDemux(int fd) const;
  int SetSectionFilter(int fd, const void* arg);
  int SetPESFilter(int fd, const void* arg);
  int GetSTC(int fd, void* arg);

  DeviceIO* inner_;
  // The reader thread reads the clock while the main thread may open and
  // close its own handles, so the set is guarded.
  mutable std::mutex mutex_;
  std::set<int> demuxFds_;
};
