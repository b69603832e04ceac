#pragma once

#include <cstdint>

// One reassembled PES packet, from its start code on. Created and destroyed by
// the PES filter; a decoder only reads it during processPES.
struct PESPacket {
  int64_t pts = 0;          // presentation time, 90 kHz ticks
  uint8_t* data = nullptr;  // owned: the whole packet, size bytes
  uint32_t size = 0;        // PES_packet_length + 6
};
