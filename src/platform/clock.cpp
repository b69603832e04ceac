#include "platform/clock.h"

#include <sched.h>
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
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

struct VirtualClock::State {
  // One for each thread that takes part, owned by the clock and handed back
  // for the next thread when one stops taking part. A sleeper is told its
  // turn through its own lock, so that on waking it does not contend for the
  // clock's lock with the thread that woke it.
  struct Sleeper {
    int64_t wake = 0;
    uint64_t order = 0;  // when it went to sleep: ties of `wake` go in this order
    std::mutex mutex;
    std::condition_variable woken;
    bool go = false;  // under `mutex`
  };
  std::mutex mutex;
  // Written under `mutex`; read without it by NowMicros.
  std::atomic<int64_t> now{0};
  int awake = 0;     // participants running, announced threads included
  int expected = 0;  // announced threads that have not entered yet
  int draining = 0;  // withdrawn participants that have not slept since
  uint64_t order = 0;
  std::vector<std::unique_ptr<Sleeper>> records;
  std::vector<Sleeper*> unused;   // of `records`
  std::vector<Sleeper*> waiting;  // asleep, in no particular order
  bool oneProcessor = false;
  int processor = -1;  // the participants' one processor, once chosen

  Sleeper* TakeRecord() {
    if (unused.empty()) {
      records.push_back(std::make_unique<Sleeper>());
      return records.back().get();
    }
    Sleeper* record = unused.back();
    unused.pop_back();
    return record;
  }
  // Whenever nobody runs, the sleeper due first gets the turn; time jumps to
  // its wake-up unless a withdrawn thread waits for the others to wind down.
  void Dispatch() {
    if (awake > 0 || waiting.empty()) return;
    const auto sooner = [](const Sleeper* a, const Sleeper* b) {
      return a->wake != b->wake ? a->wake < b->wake : a->order < b->order;
    };
    const auto first = std::min_element(waiting.begin(), waiting.end(), sooner);
    Sleeper* next = *first;
    waiting.erase(first);
    if (draining == 0 && next->wake > now.load(std::memory_order_relaxed)) {
      now.store(next->wake, std::memory_order_release);
    }
    ++awake;
    {
      std::lock_guard<std::mutex> lock(next->mutex);
      next->go = true;
    }
    next->woken.notify_one();
  }
  // The calling thread, which runs, goes to sleep until its turn comes.
  void Park(Sleeper* me, int64_t wake, std::unique_lock<std::mutex>& lock) {
    me->wake = wake;
    me->order = order++;
    {
      std::lock_guard<std::mutex> mine(me->mutex);
      me->go = false;
    }
    waiting.push_back(me);
    --awake;
    Dispatch();
    lock.unlock();
    std::unique_lock<std::mutex> mine(me->mutex);
    me->woken.wait(mine, [me] { return me->go; });
  }
};

namespace {
// The calling thread's place with a clock, given back when the thread ends
// (or moves to another clock), so that a finished thread never holds time
// back. The clock may be gone by then: the weak reference tells.
struct Participation {
  const VirtualClock* clock = nullptr;
  std::weak_ptr<VirtualClock::State> state;
  VirtualClock::State::Sleeper* record = nullptr;  // null while not taking part
  bool withdrawn = false;
  // The processors the thread could run on before it was kept on one.
  bool pinned = false;
  cpu_set_t allowed{};
  // Under the clock's lock, when the thread starts taking part.
  void Pin(VirtualClock::State& s) {
    if (!s.oneProcessor || pinned || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    if (s.processor < 0) s.processor = sched_getcpu();
    if (s.processor < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(s.processor, &one);
    pinned = CPU_ISSET(s.processor, &allowed) && sched_setaffinity(0, sizeof one, &one) == 0;
  }
  void Unpin() {
    if (pinned) sched_setaffinity(0, sizeof allowed, &allowed);
    pinned = false;
  }
  bool With(const VirtualClock* c) const { return clock == c && !state.expired(); }
  void End() {
    if (std::shared_ptr<VirtualClock::State> s = state.lock()) {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (record != nullptr) {
        --s->awake;
        s->unused.push_back(record);
      }
      if (withdrawn) --s->draining;
      s->Dispatch();
    }
    Unpin();
    clock = nullptr;
    state.reset();
    record = nullptr;
    withdrawn = false;
  }
  ~Participation() { End(); }
};
thread_local Participation t_participation;
}  // namespace

VirtualClock::VirtualClock(bool oneProcessor) : state_(std::make_shared<State>()) {
  state_->oneProcessor = oneProcessor;
}

VirtualClock::~VirtualClock() = default;

int64_t VirtualClock::NowMicros() { return state_->now.load(std::memory_order_acquire); }

void VirtualClock::ExpectThread() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->expected;
  ++state_->awake;
}

void VirtualClock::CancelExpectedThread() {
  const std::shared_ptr<State> keep = state_;
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->expected == 0) return;
  --state_->expected;
  --state_->awake;
  state_->Dispatch();
}

void VirtualClock::Leave() {
  if (t_participation.With(this)) t_participation.End();
}

void VirtualClock::Withdraw() {
  if (!t_participation.With(this) || t_participation.record == nullptr) return;
  const std::shared_ptr<State> keep = state_;
  std::lock_guard<std::mutex> lock(state_->mutex);
  --state_->awake;
  ++state_->draining;
  state_->unused.push_back(t_participation.record);
  t_participation.record = nullptr;
  t_participation.withdrawn = true;
  state_->Dispatch();
}

void VirtualClock::Enter() {
  if (t_participation.With(this)) return;
  t_participation.End();
  // The clock may go away once another thread has its turn; not before this
  // call is done with it.
  const std::shared_ptr<State> keep = state_;
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->expected > 0) {
    --state_->expected;  // already counted awake
  } else {
    ++state_->awake;
  }
  t_participation.clock = this;
  t_participation.state = state_;
  t_participation.record = state_->TakeRecord();
  t_participation.Pin(*state_);
  state_->Park(t_participation.record, state_->now.load(std::memory_order_relaxed), lock);
}

void VirtualClock::Sleep(uint32_t micros) {
  if (!t_participation.With(this)) {
    t_participation.End();
    t_participation.clock = this;
    t_participation.state = state_;
  }
  const std::shared_ptr<State> keep = state_;
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (t_participation.record == nullptr) {
    // The first sleep here, or the first since a withdrawal: the thread
    // runs, and takes part from now on.
    if (t_participation.withdrawn) --state_->draining;
    t_participation.withdrawn = false;
    ++state_->awake;
    t_participation.record = state_->TakeRecord();
    t_participation.Pin(*state_);
  }
  const int64_t wake = state_->now.load(std::memory_order_relaxed) + micros;
  // The only one running, due before every sleeper: its turn would come
  // straight back, so it goes on without handing it over.
  State& s = *state_;
  if (s.awake == 1 && std::all_of(s.waiting.begin(), s.waiting.end(),
                                  [wake](const State::Sleeper* w) { return w->wake > wake; })) {
    if (s.draining == 0 && wake > s.now.load(std::memory_order_relaxed)) {
      s.now.store(wake, std::memory_order_release);
    }
    return;
  }
  s.Park(t_participation.record, wake, lock);
}
