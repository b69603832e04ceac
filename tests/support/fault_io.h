#pragma once

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_io.h"

// Wraps another DeviceIO, records every call and makes chosen calls fail, so a
// test can walk every failure path and check what was closed or stopped.
class FaultIO : public DeviceIO {
 public:
  struct Call {
    std::string op;         // "open", "close", "read", "ioctl", "mmap", "munmap"
    unsigned long request;  // ioctl only
  };

  explicit FaultIO(DeviceIO* inner) : inner_(inner) {}

  // Fail the n-th (1-based) future call of `op` (and of `request`, for ioctl;
  // 0 matches any request). n = 0 fails every such call.
  void FailOn(const std::string& op, unsigned long request = 0, int n = 1, int err = EIO) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({op, request, n, err, 0});
  }
  void ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
  }
  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int Count(const std::string& op, unsigned long request = 0) const {
    int n = 0;
    for (const Call& c : Calls()) n += c.op == op && (request == 0 || c.request == request);
    return n;
  }

  int Open(const char* path, int flags) override {
    return Hit({"open", 0}) ? -1 : inner_->Open(path, flags);
  }
  int Close(int fd) override { return Hit({"close", 0}) ? -1 : inner_->Close(fd); }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return Hit({"read", 0}) ? -1 : inner_->Read(fd, buffer, count);
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    return Hit({"ioctl", request}) ? -1 : inner_->Ioctl(fd, request, arg);
  }
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
    return Hit({"mmap", 0}) ? reinterpret_cast<void*>(-1)
                            : inner_->Mmap(addr, length, prot, flags, fd, offset);
  }
  int Munmap(void* addr, size_t length) override {
    return Hit({"munmap", 0}) ? -1 : inner_->Munmap(addr, length);
  }

 private:
  struct Fault { std::string op; unsigned long request; int n, err, seen; };

  // Records the call; true (with errno set) when it is to fail.
  bool Hit(const Call& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    for (Fault& f : faults_) {
      const bool matches = f.op == call.op && (f.request == 0 || f.request == call.request);
      if (matches && (f.n == 0 || ++f.seen == f.n)) return errno = f.err, true;
    }
    return false;
  }

  DeviceIO* inner_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::vector<Fault> faults_;
};
