#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tsgen {

// A PES packet of `streamId` (0xBD for subtitles) with a PTS when `pts` is not
// negative. `headerDataLength` pads PES_header_data_length with stuffing bytes
// (teletext uses 0x24, a 45-byte header); it is raised to 5 when a PTS needs
// the room. The payload follows the header unchanged.
std::vector<uint8_t> BuildPES(uint8_t streamId, int64_t pts, const std::vector<uint8_t>& payload,
                              int headerDataLength = 5);

// Writes the 5-byte PTS field with prefix bits 0010 and its marker bits.
void WritePTS(uint8_t* out, int64_t pts);

}  // namespace tsgen
