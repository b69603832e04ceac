#include "platform/clock.h"

#include <time.h>
#include <unistd.h>

namespace {
int64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
}  // namespace

void RealClock::Sleep(uint32_t micros) { usleep(micros); }

int64_t RealClock::NowMicros() { return MonotonicMicros(); }

RealClock* RealClock::Instance() {
  static RealClock instance;
  return &instance;
}

ScaledClock::ScaledClock(double speed)
    : speed_(speed > 0 ? speed : 1.0), origin_(MonotonicMicros()) {}

void ScaledClock::Sleep(uint32_t micros) {
  const double real = micros / speed_;
  if (real >= 1.0) usleep(static_cast<useconds_t>(real));
}

int64_t ScaledClock::NowMicros() {
  return static_cast<int64_t>((MonotonicMicros() - origin_) * speed_);
}

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>

struct VirtualClock::State {
  std::mutex mutex;
  std::condition_variable changed;
  int64_t now = 0;
  int64_t grace = 1000;
  int participants = 0;
  int expected = 0;  // counted in participants, not yet sleeping
  std::multiset<int64_t> wakeups;

  // Wake-ups at or before `now` belong to threads that are waking up and
  // have not yet left; only later ones are still asleep.
  void AdvanceToNextWakeup() {
    const auto next = wakeups.upper_bound(now);
    if (next != wakeups.end()) now = *next;
    changed.notify_all();
  }
  bool AllAsleep() const {
    const auto asleep = std::distance(wakeups.upper_bound(now), wakeups.end());
    return asleep >= participants;
  }
};

namespace {
// Registers the calling thread with a clock on its first sleep and withdraws it
// when the thread ends (or moves to another clock), so that a finished thread
// never holds time back. The clock may be gone by then: the weak reference
// tells.
struct Participation {
  const void* clock = nullptr;
  std::function<void()> leave;
  void Leave() {
    if (leave) leave();
    leave = nullptr;
    clock = nullptr;
  }
  ~Participation() { Leave(); }
};
thread_local Participation t_participation;
}  // namespace

VirtualClock::VirtualClock(int64_t graceMicros) : state_(std::make_shared<State>()) {
  state_->grace = graceMicros;
}

VirtualClock::~VirtualClock() = default;

int64_t VirtualClock::NowMicros() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->now;
}

void VirtualClock::Advance(int64_t micros) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->now += micros;
  state_->changed.notify_all();
}

void VirtualClock::ExpectThread() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->participants;
  ++state_->expected;
}

void VirtualClock::CancelExpectedThread() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->expected > 0) {
    --state_->expected;
    --state_->participants;
    state_->changed.notify_all();
  }
}

void VirtualClock::Sleep(uint32_t micros) {
  if (t_participation.clock != this) {
    t_participation.Leave();
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (state_->expected > 0) {
        --state_->expected;
      } else {
        ++state_->participants;
      }
    }
    std::weak_ptr<State> weak = state_;
    t_participation.clock = this;
    t_participation.leave = [weak]() {
      if (std::shared_ptr<State> s = weak.lock()) {
        std::lock_guard<std::mutex> guard(s->mutex);
        --s->participants;
        s->changed.notify_all();
      }
    };
  }

  State* s = state_.get();
  std::unique_lock<std::mutex> lock(s->mutex);
  const int64_t wake = s->now + micros;
  const auto mine = s->wakeups.insert(wake);
  s->changed.notify_all();
  while (s->now < wake) {
    if (s->AllAsleep()) {
      s->AdvanceToNextWakeup();
      continue;
    }
    // Somebody is awake. Give it `grace` of real time to go to sleep or move
    // time on; if nothing happens, move on without it.
    const int64_t before = s->now;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(s->grace);
    while (s->now == before && !s->AllAsleep()) {
      if (s->changed.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
    if (s->now == before && !s->AllAsleep()) s->AdvanceToNextWakeup();
  }
  s->wakeups.erase(mine);
  s->changed.notify_all();
}
