#pragma once

#include <cstdint>
#include <vector>

// The parts one after the other.
inline std::vector<uint8_t> Cat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
