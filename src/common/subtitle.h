#pragma once

#include <cstdint>

#include "common/pes_packet.h"

// What the PES filter feeds: the teletext and the DVB subtitle decoders.
// Both calls arrive on the PES filter's reader thread.
class Subtitle {
 public:
  // Decodes one due packet. Returns how long what it drew is to stay, in
  // milliseconds; 0 asks for no timed clear (and cancels a pending one).
  virtual uint32_t processPES(const PESPacket& packet) = 0;
  // The display time asked for by the last processPES has run out.
  virtual uint32_t clear(const int64_t& stc) = 0;
  virtual ~Subtitle() = default;
};
