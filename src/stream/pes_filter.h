#pragma once

#include <pthread.h>

#include <cstdint>
#include <deque>

#include "common/pes_packet.h"
#include "common/subtitle.h"
#include "platform/platform.h"

struct PESFilterParams {
  uint16_t pid;
  uint8_t padding[2];
  uint32_t input;
  uint32_t output;
  uint32_t pesType;
  uint32_t flags;
};
static_assert(sizeof(PESFilterParams) == 20, "PES filter record is 20 bytes");

struct STCRequest {
  uint32_t num;
  uint32_t base;
  uint64_t stc;
};
static_assert(sizeof(STCRequest) == 16, "STC record is 16 bytes");

// Delivers the PES packets of one PID to a decoder when the system time clock
// reaches their presentation time, from a reader thread of its own.
class PESFilter {
 public:
  explicit PESFilter(const Platform& platform = Platform::Default());
  PESFilter(const PESFilter&) = delete;
  PESFilter& operator=(const PESFilter&) = delete;
  virtual ~PESFilter();

  bool Start(int pid, Subtitle* decoder, int recDelay);
  bool Stop();

 private:
  std::deque<PESPacket*> queue;
  Subtitle* decoder = nullptr;
  pthread_t thread = 0;
  int fd = -1;
  int32_t recDelay = 0;
  int64_t clearDeadline = 0;
  Platform platform_;
};
