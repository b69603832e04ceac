#include "platform/device_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "common/log.h"

void LogOpenError(const DeviceIO& io, const std::string& path, int err) {
  log("%s: %s\n", io.DevicePath(path).c_str(), strerror(err));
}

int PassthroughDeviceIO::Open(const char* path, int flags) { return ::open(path, flags); }

int PassthroughDeviceIO::Close(int fd) { return ::close(fd); }

ssize_t PassthroughDeviceIO::Read(int fd, void* buffer, size_t count) {
  return ::read(fd, buffer, count);
}

int PassthroughDeviceIO::Ioctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}

void* PassthroughDeviceIO::Mmap(void* addr, size_t length, int prot, int flags, int fd,
                                off_t offset) {
  return ::mmap(addr, length, prot, flags, fd, offset);
}

int PassthroughDeviceIO::Munmap(void* addr, size_t length) { return ::munmap(addr, length); }

PassthroughDeviceIO* PassthroughDeviceIO::Instance() {
  static PassthroughDeviceIO instance;
  return &instance;
}
