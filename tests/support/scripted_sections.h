#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/sim_device_io.h"

// A demultiplexer that answers every read with the next scripted reply, as
// given: short, truncated or lying sections reach the reader unchanged, which
// a real demultiplexer would never produce. Ioctls succeed; an empty script
// times out.
class ScriptedSectionDemux : public SimDevice, public SimHandle {
 public:
  void Add(std::vector<uint8_t> bytes) { Push({std::move(bytes), 0}); }
  void AddError(int err) { Push({{}, err}); }

  std::shared_ptr<SimHandle> Open(int) override { return {std::shared_ptr<void>(), this}; }
  ssize_t Read(void* buffer, size_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Reply reply{{}, ETIMEDOUT};
    if (!replies_.empty()) {
      reply = std::move(replies_.front());
      replies_.pop_front();
    }
    if (reply.err != 0) return errno = reply.err, -1;
    const size_t n = std::min(reply.bytes.size(), count);
    if (n > 0) std::memcpy(buffer, reply.bytes.data(), n);
    return static_cast<ssize_t>(n);
  }
  int Ioctl(unsigned long, void*) override { return 0; }

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
};
