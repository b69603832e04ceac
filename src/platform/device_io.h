#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Every device access of the daemon goes through this interface, so that the
// same logic runs on the box's driver, on a standard Linux DVB adapter and on
// the simulated devices of a replay. The daemon always issues the box driver's
// request numbers and records; an implementation may translate them.
class DeviceIO {
 public:
  virtual ~DeviceIO() = default;

  virtual int Open(const char* path, int flags) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t Read(int fd, void* buffer, size_t count) = 0;
  // `arg` is either a pointer to the request's record or, for requests that
  // take a plain number (the buffer size), that number cast to a pointer.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
  virtual int Munmap(void* addr, size_t length) = 0;

  // The node that Open(path) reaches, as the user knows it; for messages.
  virtual std::string DevicePath(const std::string& path) const { return path; }
};

// After a failed Open's own log line: the node and the system's reason for
// `err`, so that a user can tell a missing device from a missing permission.
void LogOpenError(const DeviceIO& io, const std::string& path, int err);

// Straight to the C library: on the box the driver understands the requests as
// the daemon issues them.
class PassthroughDeviceIO : public DeviceIO {
 public:
  int Open(const char* path, int flags) override;
  int Close(int fd) override;
  ssize_t Read(int fd, void* buffer, size_t count) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
  int Munmap(void* addr, size_t length) override;

  static PassthroughDeviceIO* Instance();
};
