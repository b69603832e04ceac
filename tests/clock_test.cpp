#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace {

double RealSeconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(VirtualClock, ALoneSleeperNeverWaits) {
  VirtualClock clock;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) clock.Sleep(500000);
  EXPECT_EQ(clock.NowMicros(), 50000000);
  EXPECT_LT(RealSeconds(start), 0.5);
}

// Two sleepers with different steps: each wakes exactly at its own wake-up
// time, so a fine-grained loop never misses a moment a coarse one jumps over.
TEST(VirtualClock, SleepersWakeExactlyOnTime) {
  VirtualClock clock;
  std::atomic<int> lateWakeups{0};
  std::atomic<int> registered{0};
  // A thread takes part from its first sleep on; both join before timing.
  auto joinClock = [&] {
    clock.Sleep(0);
    ++registered;
    while (registered < 2) usleep(100);
  };
  const auto start = std::chrono::steady_clock::now();
  std::thread fine([&] {
    joinClock();
    for (int i = 0; i < 300; ++i) {
      const int64_t before = clock.NowMicros();
      clock.Sleep(10000);
      if (clock.NowMicros() != before + 10000) ++lateWakeups;
    }
  });
  std::thread coarse([&] {
    joinClock();
    for (int i = 0; i < 6; ++i) {
      const int64_t before = clock.NowMicros();
      clock.Sleep(500000);
      if (clock.NowMicros() != before + 500000) ++lateWakeups;
    }
  });
  fine.join();
  coarse.join();
  EXPECT_EQ(lateWakeups.load(), 0);
  EXPECT_EQ(clock.NowMicros(), 3000000);
  EXPECT_LT(RealSeconds(start), 2.0);
}

// A participant that is busy in real time (or blocked joining a sleeper)
// cannot stop time for ever.
TEST(VirtualClock, ABusyParticipantOnlyDelaysTime) {
  VirtualClock clock(2000);
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    for (int i = 0; i < 20; ++i) clock.Sleep(10000);
    done = true;
  });
  clock.Sleep(1);  // the main thread takes part, then stays busy
  while (!done) usleep(1000);
  sleeper.join();
  EXPECT_GE(clock.NowMicros(), 200000);
}

TEST(ScaledClock, RunsFasterByItsFactor) {
  ScaledClock clock(50.0);
  const auto start = std::chrono::steady_clock::now();
  const int64_t before = clock.NowMicros();
  clock.Sleep(1000000);
  const int64_t passed = clock.NowMicros() - before;
  EXPECT_GE(passed, 1000000);
  EXPECT_LT(RealSeconds(start), 0.5);
}

}  // namespace
