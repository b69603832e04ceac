#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/box_dmx.h"
#include "sim/sim_device_io.h"

// A demultiplexer that answers reads from a script: first the replies added,
// each exactly as given (short, cut or lying sections reach the reader
// unchanged, which a real demultiplexer would never deliver), then a source
// function; with neither, a read times out. It serves the STC the test sets
// and grants every other request. Safe from two threads at once.
class ScriptedDemux : public SimDevice, public SimHandle {
 public:
  std::shared_ptr<SimHandle> Open(int) override { return {std::shared_ptr<void>(), this}; }

  void Add(std::vector<uint8_t> bytes) { Push({std::move(bytes), 0}); }
  void AddError(int err) { Push({{}, err}); }
  // Fills up to `count` bytes and returns how many (0: nothing waiting).
  void SetSource(std::function<size_t(uint8_t*, size_t)> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
  }
  void SetSTC(int64_t stc) { stc_.store(stc); }
  int64_t STC() const { return stc_.load(); }

  ssize_t Read(void* buffer, size_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replies_.empty()) {
      const size_t n = source_ ? std::min(source_(static_cast<uint8_t*>(buffer), count), count) : 0;
      return n > 0 ? static_cast<ssize_t>(n) : (errno = ETIMEDOUT, -1);
    }
    Reply reply = std::move(replies_.front());
    replies_.pop_front();
    if (reply.err != 0) return errno = reply.err, -1;
    const size_t n = std::min(reply.bytes.size(), count);
    if (n > 0) std::memcpy(buffer, reply.bytes.data(), n);
    return static_cast<ssize_t>(n);
  }
  int Ioctl(unsigned long request, void* arg) override {
    if (request == DMX_GET_STC) static_cast<STCRequest*>(arg)->stc = static_cast<uint64_t>(STC());
    return 0;
  }

 private:
  struct Reply {
    std::vector<uint8_t> bytes;
    int err;  // when not 0 the read fails with this errno
  };

  void Push(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(reply));
  }

  std::mutex mutex_;
  std::deque<Reply> replies_;
  std::function<size_t(uint8_t*, size_t)> source_;
  std::atomic<int64_t> stc_{0};
};
