#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Cutting sections and PES packets into 188-byte transport stream packets.
// Each function appends whole packets and advances the PID's continuity
// counter `cc` (the value the next payload-carrying packet gets, 0..15).
namespace tsgen {

constexpr size_t kTSPacketSize = 188;

// Sections carried back to back: a packet in which a section starts has
// payload_unit_start set and a pointer field to that start, so several short
// sections share a packet; the last packet is filled with 0xFF.
std::vector<uint8_t> PacketizeSections(uint16_t pid, const std::vector<std::vector<uint8_t>>& sections,
                                       uint8_t& cc);
std::vector<uint8_t> PacketizeSection(uint16_t pid, const std::vector<uint8_t>& section, uint8_t& cc);

// One PES packet: payload_unit_start on the first TS packet, the last one
// padded with adaptation field stuffing. With `pcr` >= 0 the first packet also
// carries that PCR (90 kHz base, extension 0).
std::vector<uint8_t> PacketizePES(uint16_t pid, const std::vector<uint8_t>& pes, uint8_t& cc,
                                  int64_t pcr = -1);

// A packet with only an adaptation field carrying `pcr`; it leaves `cc` alone,
// as packets without payload do.
std::vector<uint8_t> PCRPacket(uint16_t pid, int64_t pcr, uint8_t cc);

// Appends one packet with `size` payload bytes (at most 184, 176 with a PCR);
// the room left over becomes adaptation field stuffing. Without payload the
// packet is adaptation-only and `cc` does not advance.
void AppendPacket(std::vector<uint8_t>& out, uint16_t pid, bool unitStart, uint8_t& cc,
                  int64_t pcr, const uint8_t* payload, size_t size);

}  // namespace tsgen
