#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/device_io.h"

// One open handle on a simulated device. Failures return -1 (or MAP_FAILED)
// and set errno, as the C library does.
class SimHandle {
 public:
  virtual ~SimHandle() = default;
  virtual ssize_t Read(void* buffer, size_t count) = 0;
  virtual int Ioctl(unsigned long request, void* arg) = 0;
  virtual void* Mmap(size_t length, int prot, int flags, off_t offset);
};

// A device that can be opened several times, such as the demultiplexer.
class SimDevice {
 public:
  virtual ~SimDevice() = default;
  // A new handle, or null with errno set.
  virtual std::shared_ptr<SimHandle> Open(int flags) = 0;
};

// Device I/O that serves the attached paths from simulated devices and hands
// every other path to the C library (regular files keep working). Safe to use
// from several threads at once.
class SimDeviceIO : public DeviceIO {
 public:
  // `device` is not owned and must outlive every handle opened on it.
  void Attach(const std::string& path, SimDevice* device);

  int Open(const char* path, int flags) override;
  int Close(int fd) override;
  ssize_t Read(int fd, void* buffer, size_t count) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
  int Munmap(void* addr, size_t length) override;

  // Simulated handles currently open and mappings not yet unmapped: what a
  // test checks for leaks.
  int OpenHandles() const;
  int LiveMappings() const;

 private:
  std::shared_ptr<SimHandle> Find(int fd) const;

  mutable std::mutex mutex_;
  std::map<std::string, SimDevice*> devices_;
  std::map<int, std::shared_ptr<SimHandle>> handles_;
  std::map<void*, size_t> mappings_;
  int nextFd_ = 1000;
};
