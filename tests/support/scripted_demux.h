#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"

// A demultiplexer that serves a PES filter from a script: the bytes each read
// returns, the STC each clock request returns, and a record of every request
// made on it. Reads are non-blocking: with nothing scripted they fail with
// EAGAIN. Safe to use from the test thread and a reader thread at once.
class ScriptedDemux : public SimDevice {
 public:
  struct Request {
    unsigned long request;
    uintptr_t number;        // the buffer-size argument
    PESFilterParams filter;  // the PES filter record, when that was the request
  };

  std::shared_ptr<SimHandle> Open(int flags) override;

  // Each call is served by one read (split if the reader asks for less).
  void PushRead(std::vector<uint8_t> bytes);
  // One read that returns 0 (nothing, but no error).
  void PushEmptyRead();
  // Called when nothing is scripted: fills up to `count` bytes and returns how
  // many; 0 means nothing waiting. Replaces the EAGAIN answer.
  void SetSource(std::function<size_t(uint8_t*, size_t)> source);

  void SetSTC(int64_t stc) { stc_.store(stc); }
  int64_t STC() const { return stc_.load(); }
  void SetSTCFails(bool fails) { stcFails_.store(fails); }

  std::vector<int> OpenFlags() const;
  std::vector<Request> Requests() const;
  int CountRequests(unsigned long request) const;
  // Reads that found the script empty, over the device's life: once this
  // grows after a PushRead, everything pushed before has been read and fed to
  // the reassembly.
  int64_t EmptyReads() const { return emptyReads_.load(); }
  int64_t Reads() const { return reads_.load(); }
  bool ScriptEmpty() const;

 private:
  class Handle;
  ssize_t Read(void* buffer, size_t count);
  int Ioctl(unsigned long request, void* arg);

  mutable std::mutex mutex_;
  std::deque<std::vector<uint8_t>> script_;
  std::deque<bool> emptyMarks_;  // parallel to script_: a scripted 0 result
  std::function<size_t(uint8_t*, size_t)> source_;
  std::vector<int> openFlags_;
  std::vector<Request> requests_;
  std::atomic<int64_t> stc_{0};
  std::atomic<bool> stcFails_{false};
  std::atomic<int64_t> emptyReads_{0};
  std::atomic<int64_t> reads_{0};
};

// The number of threads of this process, from /proc.
int ProcessThreadCount();
// The same, taken after one thread has come and gone: a sanitizer's helper
// thread, started with the first thread of the process, is then counted too.
int BaselineThreadCount();
// True once the process runs exactly `expected` threads, waiting up to five
// seconds for the kernel to reap ended ones. Always true under an emulator,
// which keeps threads of its own in the process.
bool ThreadCountReturnsTo(int expected);
