#include "common/crc32.h"

#include <array>

namespace {
std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    table[i] = c;
  }
  return table;
}
}  // namespace

uint32_t Crc32Mpeg(const uint8_t* data, size_t length, uint32_t crc) {
  static const std::array<uint32_t, 256> table = MakeTable();
  for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
  return crc;
}
