#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "sim/sim_device_io.h"

// A demultiplexer that serves a PES filter from a source function and a
// clock the test sets, and counts the requests made on it. Reads are
// non-blocking: when the source has nothing they fail with EAGAIN. Safe to
// use from the test thread and a reader thread at once.
class ScriptedDemux : public SimDevice {
 public:
  std::shared_ptr<SimHandle> Open(int flags) override;

  // Fills up to `count` bytes and returns how many; 0 means nothing waiting.
  void SetSource(std::function<size_t(uint8_t*, size_t)> source);
  void SetSTC(int64_t stc) { stc_.store(stc); }
  int64_t STC() const { return stc_.load(); }
  void SetSTCFails(bool fails) { stcFails_.store(fails); }
  int CountRequests(unsigned long request) const;

 private:
  class Handle;
  ssize_t Read(void* buffer, size_t count);
  int Ioctl(unsigned long request, void* arg);

  mutable std::mutex mutex_;
  std::function<size_t(uint8_t*, size_t)> source_;
  std::map<unsigned long, int> requests_;
  std::atomic<int64_t> stc_{0};
  std::atomic<bool> stcFails_{false};
};

// The number of threads of this process, taken after one thread has come and
// gone: a sanitizer's helper thread, started with the first thread of the
// process, is then counted too.
int BaselineThreadCount();
// True once the process runs exactly `expected` threads, waiting up to five
// seconds for the kernel to reap ended ones. Always true under an emulator,
// which keeps threads of its own in the process.
bool ThreadCountReturnsTo(int expected);
