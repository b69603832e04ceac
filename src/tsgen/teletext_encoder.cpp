#include "tsgen/teletext_encoder.h"

#include "tsgen/pes.h"

namespace tsgen {

namespace {

constexpr uint8_t kFramingCode = 0xE4;
constexpr uint8_t kDataIdentifier = 0x10;
constexpr int kHeaderDataLength = 0x24;
constexpr uint8_t kUnitLength = 0x2C;

int Ones(unsigned value) {
  int n = 0;
  for (; value != 0; value >>= 1) n += static_cast<int>(value & 1U);
  return n;
}

// Places the 42 teletext bytes (reception order) into a unit, reversed.
TeletextUnit MakeUnit(uint8_t unitId, const uint8_t (&bytes)[42]) {
  TeletextUnit unit{};
  unit[0] = unitId;
  unit[1] = kUnitLength;
  unit[2] = 0xC0;  // reserved bits set; parity and line offset filled when packed
  unit[3] = kFramingCode;
  for (int n = 0; n < 42; ++n) unit[4 + n] = TeletextReverse(bytes[n]);
  return unit;
}

uint8_t CharAt(const std::string& text, size_t n) {
  return n < text.size() ? static_cast<uint8_t>(text[n]) : 0x20;
}

}  // namespace

uint8_t TeletextReverse(uint8_t byte) {
  uint8_t out = 0;
  for (int n = 0; n < 8; ++n) {
    if (byte & (1U << n)) out = static_cast<uint8_t>(out | (0x80U >> n));
  }
  return out;
}

uint8_t TeletextHamming(uint8_t nibble) {
  const int d1 = nibble & 1, d2 = (nibble >> 1) & 1, d3 = (nibble >> 2) & 1, d4 = (nibble >> 3) & 1;
  const int p1 = 1 ^ d1 ^ d3 ^ d4;
  const int p2 = 1 ^ d1 ^ d2 ^ d4;
  const int p3 = 1 ^ d1 ^ d2 ^ d3;
  const unsigned seven = static_cast<unsigned>(p1 | d1 << 1 | p2 << 2 | d2 << 3 | p3 << 4 |
                                               d3 << 5 | d4 << 7);
  // The last parity bit makes the whole byte odd.
  const unsigned p4 = (Ones(seven) & 1) ? 0U : 1U;
  return static_cast<uint8_t>(seven | p4 << 6);
}

uint8_t TeletextParity(uint8_t character) {
  const uint8_t c = character & 0x7F;
  return static_cast<uint8_t>((Ones(c) & 1) ? c : (c | 0x80));
}

std::string SubtitleRowText(const std::string& text) {
  std::string boxed;
  boxed.push_back(kTxtDoubleHeight);
  boxed.push_back(kTxtStartBox);
  boxed.push_back(kTxtStartBox);
  boxed += text;
  boxed.push_back(kTxtEndBox);
  boxed.push_back(kTxtEndBox);
  if (boxed.size() > 40) boxed.resize(40);
  const size_t lead = (40 - boxed.size()) / 2;
  std::string row(lead, ' ');
  row += boxed;
  row.resize(40, ' ');
  return row;
}

TeletextPage SubtitlePage(int page, const std::vector<std::string>& lines) {
  TeletextPage out;
  out.header.page = page;
  out.header.erase = true;
  // Double-height lines take two rows each; stay on the screen's rows 2..22.
  const size_t count = lines.size() > 10 ? 10 : lines.size();
  for (size_t n = 0; n < count; ++n) {
    const int row = 22 - 2 * static_cast<int>(count - 1 - n);
    out.rows.push_back({row, SubtitleRowText(lines[n])});
  }
  return out;
}

TeletextUnit EncodeHeaderUnit(const TeletextHeader& header, uint8_t unitId) {
  const int magazine = (header.page >> 8) & 7;  // 8 is sent as 0
  const int sub = header.subcode;
  uint8_t bytes[42];
  bytes[0] = TeletextHamming(static_cast<uint8_t>(magazine));  // packet 0: low row bit 0
  bytes[1] = TeletextHamming(0);
  bytes[2] = TeletextHamming(static_cast<uint8_t>(header.page & 0x0F));
  bytes[3] = TeletextHamming(static_cast<uint8_t>((header.page >> 4) & 0x0F));
  bytes[4] = TeletextHamming(static_cast<uint8_t>(sub & 0x0F));
  bytes[5] = TeletextHamming(static_cast<uint8_t>(((sub >> 4) & 0x07) | (header.erase ? 8 : 0)));
  bytes[6] = TeletextHamming(static_cast<uint8_t>((sub >> 7) & 0x0F));
  bytes[7] = TeletextHamming(static_cast<uint8_t>(((sub >> 11) & 0x03) | (header.subtitle ? 8 : 0)));
  bytes[8] = TeletextHamming(0);
  bytes[9] = TeletextHamming(static_cast<uint8_t>((header.nationalOption & 0x07) << 1));
  for (int n = 0; n < 32; ++n) bytes[10 + n] = TeletextParity(CharAt(header.text, n));
  return MakeUnit(unitId, bytes);
}

TeletextUnit EncodeRowUnit(int magazine, int row, const std::string& text, uint8_t unitId) {
  uint8_t bytes[42];
  bytes[0] = TeletextHamming(static_cast<uint8_t>((magazine & 7) | ((row & 1) << 3)));
  bytes[1] = TeletextHamming(static_cast<uint8_t>((row >> 1) & 0x0F));
  for (int n = 0; n < 40; ++n) bytes[2 + n] = TeletextParity(CharAt(text, n));
  return MakeUnit(unitId, bytes);
}

TeletextUnit StuffingUnit() {
  TeletextUnit unit;
  unit.fill(0xFF);
  unit[0] = kTeletextStuffingUnit;
  unit[1] = kUnitLength;
  return unit;
}

std::vector<TeletextUnit> EncodePage(const TeletextPage& page, uint8_t unitId) {
  std::vector<TeletextUnit> units;
  units.push_back(EncodeHeaderUnit(page.header, unitId));
  const int magazine = (page.header.page >> 8) & 0x0F;
  for (const TeletextPage::Row& row : page.rows) {
    units.push_back(EncodeRowUnit(magazine, row.row, row.text, unitId));
  }
  return units;
}

void InjectBitErrors(TeletextUnit& unit, int offset, uint8_t mask) {
  if (offset < 0 || offset >= static_cast<int>(unit.size())) return;
  unit[static_cast<size_t>(offset)] ^= mask;
}

std::vector<std::vector<uint8_t>> PackTeletextPES(const std::vector<TeletextUnit>& units,
                                                  int64_t pts, int unitsPerPacket) {
  if (unitsPerPacket < 1) unitsPerPacket = 1;
  std::vector<std::vector<uint8_t>> packets;
  size_t next = 0;
  do {
    std::vector<uint8_t> payload;
    payload.reserve(1 + static_cast<size_t>(unitsPerPacket) * 46);
    payload.push_back(kDataIdentifier);
    for (int slot = 0; slot < unitsPerPacket; ++slot) {
      TeletextUnit unit = next < units.size() ? units[next++] : StuffingUnit();
      if (unit[0] != kTeletextStuffingUnit) {
        // First field, lines counted from 7 as the inserter fills the VBI.
        unit[2] = static_cast<uint8_t>(0xC0 | 0x20 | ((7 + slot) & 0x1F));
      }
      payload.insert(payload.end(), unit.begin(), unit.end());
    }
    packets.push_back(BuildPES(0xBD, pts, payload, kHeaderDataLength));
  } while (next < units.size());
  return packets;
}

}  // namespace tsgen
