#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

// A clock whose time moves only when someone sleeps on it (or calls Advance):
// a sleep returns at once having moved the time on. It lets a tool or a test
// run a blocking scan over a recording without waiting in real time. Every
// thread's sleeps move the same time, so it suits one waiting thread at a
// time; a replay with a reader thread wants a ScaledClock instead.
class VirtualClock : public Clock {
 public:
  void Sleep(uint32_t micros) override { now_.fetch_add(micros); }
  int64_t NowMicros() override { return now_.load(); }
  void Advance(int64_t micros) { now_.fetch_add(micros); }

 private:
  std::atomic<int64_t> now_{0};
};
