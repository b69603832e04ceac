#pragma once

#include <cstdint>

// The daemon's two sleeps (the main loop's half second, the reader thread's
// idle pause) go through a Clock, so a replay can run the same code paths
// faster than real time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Sleeps for `micros` microseconds of this clock's time.
  virtual void Sleep(uint32_t micros) = 0;
  // Microseconds of this clock's time since an arbitrary fixed origin.
  virtual int64_t NowMicros() = 0;
};

// Real time: usleep and the monotonic clock.
class RealClock : public Clock {
 public:
  void Sleep(uint32_t micros) override;
  int64_t NowMicros() override;
  static RealClock* Instance();
};

// Real time scaled by a speed factor: a sleep of one second at speed 20 lasts
// 50 ms, and NowMicros advances 20 times faster than the monotonic clock.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double speed);
  void Sleep(uint32_t micros) override;
  int64_t NowMicros() override;
  double Speed() const { return speed_; }

 private:
  double speed_;
  int64_t origin_;
};
