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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

// The thread that finds every participant asleep moves time itself and wakes
// only the sleepers whose time has come: a fine-grained sleeper that is the
// only one due goes on without any thread being woken, and the others sleep
// through its steps undisturbed. A sleeper whose time has come is taken off
// the list and told through its own flag, so that waking up never contends
// for the clock's lock with the thread that woke it.
struct VirtualClock::State {
  // One for each thread that takes part, owned by the clock: a sleeper told
  // that its time has come may return before the thread that told it has
  // let go of the record. A thread that leaves gives its record back under
  // `mutex`, when nobody can be touching it, for the next thread to use.
  struct Sleeper {
    int64_t wake = 0;
    std::mutex mutex;
    std::condition_variable woken;
    bool due = false;  // written holding both locks
  };
  std::mutex mutex;
  // Written under `mutex`; read without it by NowMicros.
  std::atomic<int64_t> now{0};
  int64_t grace = 1000;
  int participants = 0;
  int expected = 0;  // counted in participants, not yet sleeping
  std::vector<std::unique_ptr<Sleeper>> threads;
  std::vector<Sleeper*> unused;  // of `threads`
  std::vector<Sleeper*> sleepers;  // all due after `now`
  uint64_t moves = 0;  // times `now` changed

  bool AllAsleep() const { return static_cast<int>(sleepers.size()) >= participants; }
  void SetNow(int64_t t) {
    now.store(t, std::memory_order_release);
    ++moves;
    auto keep = sleepers.begin();
    for (Sleeper* s : sleepers) {
      if (s->wake > t) {
        *keep++ = s;
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->due = true;
      }
      s->woken.notify_one();
    }
    sleepers.erase(keep, sleepers.end());
  }
  void AdvanceToNextWakeup() {
    int64_t next = std::numeric_limits<int64_t>::max();
    for (const Sleeper* s : sleepers) next = std::min(next, s->wake);
    if (!sleepers.empty()) SetNow(next);
  }
  // Called after anything that may have left every participant asleep.
  void Settle() {
    if (AllAsleep()) AdvanceToNextWakeup();
  }
};

namespace {
// Registers the calling thread with a clock on its first sleep and withdraws it
// when the thread ends (or moves to another clock), so that a finished thread
// never holds time back. The clock may be gone by then: the weak reference
// tells.
struct Participation {
  const void* clock = nullptr;
  // The clock's record of this thread, alive as long as `state` is: a new
  // clock made where an old one was is not mistaken for it.
  void* sleeper = nullptr;
  std::weak_ptr<void> state;
  std::function<void()> leave;
  bool With(const void* c) const { return clock == c && !state.expired(); }
  void Leave() {
    if (leave) leave();
    leave = nullptr;
    clock = nullptr;
    sleeper = nullptr;
    state.reset();
  }
  ~Participation() { Leave(); }
};
thread_local Participation t_participation;
}  // namespace

VirtualClock::VirtualClock(int64_t graceMicros) : state_(std::make_shared<State>()) {
  state_->grace = graceMicros;
}

VirtualClock::~VirtualClock() = default;

int64_t VirtualClock::NowMicros() { return state_->now.load(std::memory_order_acquire); }

void VirtualClock::Advance(int64_t micros) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->SetNow(state_->now.load(std::memory_order_relaxed) + micros);
  state_->Settle();
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
    state_->Settle();
  }
}

void VirtualClock::Withdraw() {
  if (t_participation.With(this)) t_participation.Leave();
}

void VirtualClock::Sleep(uint32_t micros) {
  if (!t_participation.With(this)) {
    t_participation.Leave();
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (state_->expected > 0) {
        --state_->expected;
      } else {
        ++state_->participants;
      }
      if (state_->unused.empty()) {
        state_->threads.push_back(std::make_unique<State::Sleeper>());
        state_->unused.push_back(state_->threads.back().get());
      }
      t_participation.sleeper = state_->unused.back();
      state_->unused.pop_back();
    }
    std::weak_ptr<State> weak = state_;
    State::Sleeper* record = static_cast<State::Sleeper*>(t_participation.sleeper);
    t_participation.clock = this;
    t_participation.state = state_;
    t_participation.leave = [weak, record]() {
      if (std::shared_ptr<State> s = weak.lock()) {
        std::lock_guard<std::mutex> guard(s->mutex);
        --s->participants;
        s->unused.push_back(record);
        s->Settle();
      }
    };
  }

  State* s = state_.get();
  State::Sleeper* me = static_cast<State::Sleeper*>(t_participation.sleeper);
  uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (micros == 0) return;  // taking part is all a sleep of nothing does
    me->wake = s->now.load(std::memory_order_relaxed) + micros;
    {
      std::lock_guard<std::mutex> mine(me->mutex);
      me->due = false;
    }
    s->sleepers.push_back(me);
    s->Settle();
    if (me->due) return;
    seen = s->moves;
  }
  // Somebody is awake. Give it `grace` of real time to go to sleep or move
  // time on; if time stood still all that while, move on without it.
  const auto grace = std::chrono::microseconds(s->grace);
  auto deadline = std::chrono::steady_clock::now() + grace;
  for (;;) {
    {
      std::unique_lock<std::mutex> mine(me->mutex);
      if (me->woken.wait_until(mine, deadline, [me] { return me->due; })) return;
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    if (me->due) return;
    if (s->moves == seen) {
      s->AdvanceToNextWakeup();
      if (me->due) return;
    }
    seen = s->moves;
    deadline = std::chrono::steady_clock::now() + grace;
  }
}
