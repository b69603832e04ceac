#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/box_dmx.h"
#include "sim/sim_device_io.h"

// A demultiplexer that serves a PES filter from a source function and a
// clock the test sets, and counts the requests made on it. Reads fail with
// EAGAIN when the source has nothing. Safe from two threads at once.
class ScriptedDemux : public SimDevice, public SimHandle {
 public:
  std::shared_ptr<SimHandle> Open(int) override { return {std::shared_ptr<void>(), this}; }

  // Fills up to `count` bytes and returns how many (0: nothing waiting).
  void SetSource(std::function<size_t(uint8_t*, size_t)> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
  }
  void SetSTC(int64_t stc) { stc_.store(stc); }
  int64_t STC() const { return stc_.load(); }
  void SetSTCFails(bool fails) { stcFails_.store(fails); }
  int CountRequests(unsigned long request) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = requests_.find(request);
    return it == requests_.end() ? 0 : it->second;
  }

  ssize_t Read(void* buffer, size_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = source_ ? source_(static_cast<uint8_t*>(buffer), count) : 0;
    if (n == 0) return errno = EAGAIN, -1;
    return static_cast<ssize_t>(n < count ? n : count);
  }
  int Ioctl(unsigned long request, void* arg) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++requests_[request];
    }
    if (request == DMX_GET_STC) {
      if (stcFails_.load()) return errno = EIO, -1;
      static_cast<STCRequest*>(arg)->stc = static_cast<uint64_t>(stc_.load());
      return 0;
    }
    const bool known = request == DMX_SET_BUFFERSIZE || request == DMX_SET_PES_FILTER ||
                       request == DMX_STOP;
    return known ? 0 : (errno = EINVAL, -1);
  }

 private:
  mutable std::mutex mutex_;
  std::function<size_t(uint8_t*, size_t)> source_;
  std::map<unsigned long, int> requests_;
  std::atomic<int64_t> stc_{0};
  std::atomic<bool> stcFails_{false};
};

