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
// the daemon's own timing allows, with the same outcome every run. Every
// thread that sleeps on it takes part, and the participants take turns: one
// of them runs while the others wait in a sleep; when the one that runs
// sleeps too, the sleeper due first (the one that went to sleep first among
// those due at the same time) goes on, and time jumps to its wake-up if that
// lies ahead. So time moves only when every participant waits, never while
// one works, and two threads due at the same moment never run side by side:
// their order, and so what they draw and log, is the same in every run.
//
// A participant must wait only in its sleeps. A thread created by one that
// takes part is announced before it exists (ExpectThread) and enters the
// turns as the first thing it does (Enter): until then time stands still. A
// participant about to wait for the others to end (joining them) withdraws
// first: from then on until its next sleep time stands still, and the sleeps
// of the others end at once, so that they wind down without moving time.
//
// With `oneProcessor`, the participants run on the processor the first of
// them was on, each until it stops taking part: as only one of them runs at
// a time they lose nothing by it, and each turn is handed over on the same
// processor rather than by waking another one, which on a virtual machine
// costs more than most turns' work.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(bool oneProcessor = false);
  ~VirtualClock() override;
  void Sleep(uint32_t micros) override;
  int64_t NowMicros() override;
  // A thread is about to be created that will Enter; until it does (or the
  // creation is cancelled), time stands still.
  void ExpectThread();
  void CancelExpectedThread();
  // On the new thread, first: takes the announced place and waits for its
  // turn, behind the threads due now.
  void Enter();
  // The calling thread stops taking part (it ends, or waits for the others
  // to end and then sleeps again, which makes it take part again).
  void Leave();
  void Withdraw();

  struct State;

 private:
  std::shared_ptr<State> state_;
};
