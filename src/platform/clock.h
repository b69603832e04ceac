#pragma once

#include <cstdint>
#include <memory>

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

// Time that passes only through sleeps, for replaying a recording as fast as
// the daemon's own timing allows. Every thread that sleeps on it takes part:
// when all of them are asleep, time jumps to the earliest wake-up. A thread
// that is busy holds time back; one that blocks elsewhere (say joining another
// thread that sleeps) withdraws first. As a last resort a thread that neither
// sleeps nor withdraws holds time back for `graceMicros` of real time (twice
// that at most); after that time moves on to the next wake-up, so nothing
// deadlocks. Time never passes a sleeper's wake-up without waking it.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(int64_t graceMicros = 2000000);
  ~VirtualClock() override;
  void Sleep(uint32_t micros) override;
  int64_t NowMicros() override;
  // Moves time on from outside, waking every sleeper whose time has come; for
  // tests that step a recording by hand.
  void Advance(int64_t micros);
  // A thread is about to be created that will sleep on this clock: it takes
  // part from now on, so that time cannot run ahead before its first sleep.
  // Its first sleep claims the place; a creation that failed gives it back.
  void ExpectThread();
  void CancelExpectedThread();
  // The calling thread stops taking part until its next sleep: for a thread
  // about to wait for another one (joining it), which must not hold time back.
  void Withdraw();

 private:
  struct State;
  std::shared_ptr<State> state_;
};
