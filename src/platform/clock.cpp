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
