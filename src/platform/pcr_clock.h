#pragma once

#include <cstdint>

// A system time clock rebuilt from the PCRs of a service, for demultiplexers
// that keep none of their own. Each PCR base is taken with the moment it was
// read (microseconds of a monotonic clock); between PCRs the clock runs on
// with that monotonic clock, in 90 kHz ticks, and wraps at 33 bits as the
// broadcaster's clock does.
//
// A PCR is believed only when it fits what came before: the clock starts at
// the second of two PCRs that agree; a PCR that disagrees with the running
// clock waits for the next one. If that next one follows the clock, the odd
// one was damaged and is forgotten; if it follows the odd one instead, the
// broadcaster's clock jumped and the clock jumps with it. A PCR whose packet
// flags a discontinuity is taken at once.
class PcrClock {
 public:
  static constexpr int64_t kWrap = int64_t{1} << 33;
  // How far a PCR may stray from the clock and still agree with it: far more
  // than the jitter of delivery and of our own reads, far less than a jump
  // of the broadcaster's clock or a bit error in its upper bits.
  static constexpr int64_t kSlackTicks = 18000;  // 200 ms

  // 90 kHz ticks in `micros` microseconds.
  static int64_t Ticks(int64_t micros) { return micros * 9 / 100; }

  void Add(int64_t pcr, bool discontinuity, int64_t micros);
  void Reset();

  bool Running() const { return running_; }
  // When the clock last took a PCR; only while it runs.
  int64_t LastMicros() const { return anchor_.micros; }
  // The clock at `micros`, 0 to 2^33 - 1; only while it runs.
  int64_t Read(int64_t micros) const;

 private:
  struct Sample {
    int64_t pcr;
    int64_t micros;
  };
  static bool Agree(const Sample& from, const Sample& to);
  void Take(const Sample& s);

  bool running_ = false;
  bool pending_ = false;  // `odd_` waits for the next PCR to decide it
  Sample anchor_{0, 0};
  Sample odd_{0, 0};
};

// The 33-bit PCR base a TS packet carries and its discontinuity flag; false
// when the packet carries none (or is flagged as damaged in transport).
bool PacketPcr(const uint8_t* packet, int64_t& pcr, bool& discontinuity);
