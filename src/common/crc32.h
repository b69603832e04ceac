#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 that PSI sections carry in their last four bytes (polynomial
// 0x04C11DB7, initial value 0xFFFFFFFF, no reflection, no final inversion).
// Running it over a whole section including its CRC field yields 0 when the
// section is intact. Pass a previous result as `crc` to continue a sum.
uint32_t Crc32Mpeg(const uint8_t* data, size_t length, uint32_t crc = 0xFFFFFFFFu);
