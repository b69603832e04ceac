#pragma once

#include <cstdint>
#include <functional>

#include "platform/clock.h"

// A clock that never waits: every sleep advances its time at once and runs a
// hook, so a test can act between main-loop cycles (write the status file,
// create a flag, stop the loop) without real time passing.
class StepClock : public Clock {
 public:
  using Hook = std::function<void(StepClock&)>;
  explicit StepClock(Hook hook = nullptr) : hook_(std::move(hook)) {}

  void Sleep(uint32_t micros) override {
    now_ += micros;
    if (micros >= 500000) ++cycles_;
    if (hook_) hook_(*this);
  }
  int64_t NowMicros() override { return now_; }
  // Number of main-loop sleeps so far (the loop sleeps at the start of a cycle).
  int Cycles() const { return cycles_; }

 private:
  Hook hook_;
  int64_t now_ = 0;
  int cycles_ = 0;
};
