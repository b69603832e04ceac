#include "sim/sim_device_io.h"

#include <sys/mman.h>

#include <cerrno>

#include "platform/device_io.h"

void* SimHandle::Mmap(size_t, int, int, off_t) {
  errno = ENODEV;
  return MAP_FAILED;
}

void SimDeviceIO::Attach(const std::string& path, SimDevice* device) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[path] = device;
}

std::shared_ptr<SimHandle> SimDeviceIO::Find(int fd) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(fd);
  return it == handles_.end() ? nullptr : it->second;
}

int SimDeviceIO::Open(const char* path, int flags) {
  SimDevice* device = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = devices_.find(path);
    if (it != devices_.end()) device = it->second;
  }
  if (device == nullptr) return PassthroughDeviceIO::Instance()->Open(path, flags);
  std::shared_ptr<SimHandle> handle = device->Open(flags);
  if (!handle) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = nextFd_++;
  handles_[fd] = std::move(handle);
  return fd;
}

int SimDeviceIO::Close(int fd) {
  std::shared_ptr<SimHandle> handle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = handles_.find(fd);
    if (it == handles_.end()) {
      if (fd >= 1000) {
        errno = EBADF;
        return -1;
      }
    } else {
      handle = std::move(it->second);
      handles_.erase(it);
    }
  }
  if (handle) return 0;  // released here, outside the lock
  return PassthroughDeviceIO::Instance()->Close(fd);
}

ssize_t SimDeviceIO::Read(int fd, void* buffer, size_t count) {
  std::shared_ptr<SimHandle> handle = Find(fd);
  if (handle) return handle->Read(buffer, count);
  if (fd >= 1000) {
    errno = EBADF;
    return -1;
  }
  return PassthroughDeviceIO::Instance()->Read(fd, buffer, count);
}

int SimDeviceIO::Ioctl(int fd, unsigned long request, void* arg) {
  std::shared_ptr<SimHandle> handle = Find(fd);
  if (handle) return handle->Ioctl(request, arg);
  if (fd >= 1000) {
    errno = EBADF;
    return -1;
  }
  return PassthroughDeviceIO::Instance()->Ioctl(fd, request, arg);
}

void* SimDeviceIO::Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  std::shared_ptr<SimHandle> handle = Find(fd);
  if (!handle) {
    if (fd >= 1000) {
      errno = EBADF;
      return MAP_FAILED;
    }
    return PassthroughDeviceIO::Instance()->Mmap(addr, length, prot, flags, fd, offset);
  }
  void* mapping = handle->Mmap(length, prot, flags, offset);
  if (mapping != MAP_FAILED) {
    std::lock_guard<std::mutex> lock(mutex_);
    mappings_[mapping] = length;
  }
  return mapping;
}

int SimDeviceIO::Munmap(void* addr, size_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = mappings_.find(addr);
    if (it != mappings_.end()) {
      // The simulated device owns its memory; unmapping only ends the use.
      mappings_.erase(it);
      return 0;
    }
  }
  return PassthroughDeviceIO::Instance()->Munmap(addr, length);
}

int SimDeviceIO::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}

int SimDeviceIO::LiveMappings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(mappings_.size());
}
