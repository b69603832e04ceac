#include "tsgen/pes.h"

#include <cstddef>

namespace tsgen {

void WritePTS(uint8_t* out, int64_t pts) {
  const uint64_t v = static_cast<uint64_t>(pts) & 0x1FFFFFFFFULL;
  out[0] = static_cast<uint8_t>(0x21 | ((v >> 29) & 0x0E));
  out[1] = static_cast<uint8_t>(v >> 22);
  out[2] = static_cast<uint8_t>(((v >> 14) & 0xFE) | 0x01);
  out[3] = static_cast<uint8_t>(v >> 7);
  out[4] = static_cast<uint8_t>(((v << 1) & 0xFE) | 0x01);
}

std::vector<uint8_t> BuildPES(uint8_t streamId, int64_t pts, const std::vector<uint8_t>& payload,
                              int headerDataLength) {
  const bool hasPts = pts >= 0;
  if (hasPts && headerDataLength < 5) headerDataLength = 5;
  if (headerDataLength < 0) headerDataLength = 0;
  std::vector<uint8_t> out;
  const size_t length = 3 + static_cast<size_t>(headerDataLength) + payload.size();
  out.reserve(6 + length);
  out.push_back(0x00);
  out.push_back(0x00);
  out.push_back(0x01);
  out.push_back(streamId);
  // Packets longer than the 16-bit field can say are not produced by the
  // encoders; clamp rather than wrap if a caller tries.
  const size_t field = length > 0xFFFF ? 0xFFFF : length;
  out.push_back(static_cast<uint8_t>(field >> 8));
  out.push_back(static_cast<uint8_t>(field));
  out.push_back(0x84);                      // marker bits, data alignment
  out.push_back(hasPts ? 0x80 : 0x00);      // PTS only
  out.push_back(static_cast<uint8_t>(headerDataLength));
  size_t header = 0;
  if (hasPts) {
    uint8_t ptsBytes[5];
    WritePTS(ptsBytes, pts);
    out.insert(out.end(), ptsBytes, ptsBytes + 5);
    header = 5;
  }
  for (; header < static_cast<size_t>(headerDataLength); ++header) out.push_back(0xFF);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace tsgen
