#include "platform/pcr_clock.h"

namespace {
// The step from a to b on the 33-bit clock, between -2^32 and 2^32.
int64_t Step(int64_t a, int64_t b) {
  int64_t d = (b - a) % PcrClock::kWrap;
  if (d < 0) d += PcrClock::kWrap;
  if (d >= PcrClock::kWrap / 2) d -= PcrClock::kWrap;
  return d;
}
}  // namespace

bool PcrClock::Agree(const Sample& from, const Sample& to) {
  const int64_t miss = Step(from.pcr, to.pcr) - Ticks(to.micros - from.micros);
  return miss >= -kSlackTicks && miss <= kSlackTicks;
}

void PcrClock::Take(const Sample& s) {
  running_ = true;
  pending_ = false;
  anchor_ = s;
}

void PcrClock::Add(int64_t pcr, bool discontinuity, int64_t micros) {
  const Sample s{pcr & (kWrap - 1), micros};
  // A PCR that follows the running clock, a jump that is flagged, or one
  // that the odd PCR before it confirms is taken; anything else is the odd
  // one until the next PCR decides. The first PCR of all has nothing to be
  // judged by, so it is odd too.
  if ((running_ && (Agree(anchor_, s) || discontinuity)) || (pending_ && Agree(odd_, s))) {
    return Take(s);
  }
  odd_ = s;
  pending_ = true;
}

void PcrClock::Reset() { *this = PcrClock(); }

int64_t PcrClock::Read(int64_t micros) const {
  int64_t stc = (anchor_.pcr + Ticks(micros - anchor_.micros)) % kWrap;
  if (stc < 0) stc += kWrap;
  return stc;
}

bool PacketPcr(const uint8_t* packet, int64_t& pcr, bool& discontinuity) {
  // Sync byte, no transport error, an adaptation field long enough for the
  // PCR, and its flag.
  if (packet[0] != 0x47 || (packet[1] & 0x80) != 0 || (packet[3] & 0x20) == 0 || packet[4] < 7 ||
      (packet[5] & 0x10) == 0) {
    return false;
  }
  const uint8_t* p = packet + 6;
  pcr = (static_cast<int64_t>(p[0]) << 25) | (static_cast<int64_t>(p[1]) << 17) |
        (static_cast<int64_t>(p[2]) << 9) | (static_cast<int64_t>(p[3]) << 1) | (p[4] >> 7);
  discontinuity = (packet[5] & 0x80) != 0;
  return true;
}
