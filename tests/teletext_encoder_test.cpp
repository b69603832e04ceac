#include "tsgen/teletext_encoder.h"

#include <gtest/gtest.h>

#include <bitset>

namespace tsgen {
namespace {

// The sixteen Hamming 8/4 code bytes in reception order, as printed in the
// teletext tables every receiver designer works from.
constexpr uint8_t kCodewords[16] = {0x15, 0x02, 0x49, 0x5E, 0x64, 0x73, 0x38, 0x2F,
                                    0xD0, 0xC7, 0x8C, 0x9B, 0xA1, 0xB6, 0xFD, 0xEA};

int Distance(uint8_t a, uint8_t b) { return static_cast<int>(std::bitset<8>(a ^ b).count()); }

TEST(TeletextEncoder, HammingCodewordsAreTheKnownOnesAndFourBitsApart) {
  for (int n = 0; n < 16; ++n) {
    EXPECT_EQ(TeletextHamming(static_cast<uint8_t>(n)), kCodewords[n]) << "nibble " << n;
    for (int m = 0; m < n; ++m) {
      EXPECT_GE(Distance(TeletextHamming(static_cast<uint8_t>(n)),
                         TeletextHamming(static_cast<uint8_t>(m))),
                4);
    }
  }
}

TEST(TeletextEncoder, ParityAndReversal) {
  struct Case {
    uint8_t in, parity, reversed;
  } cases[] = {
      {0x00, 0x80, 0x00}, {0x20, 0x20, 0x04}, {0x41, 0xC1, 0x82}, {0x43, 0x43, 0xC2},
      {0x7F, 0x7F, 0xFE}, {0x0D, 0x0D, 0xB0}, {0x0B, 0x0B, 0xD0}, {0xE4, 0x64, 0x27},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TeletextParity(c.in), c.parity) << std::hex << int(c.in);
    EXPECT_EQ(TeletextReverse(c.in), c.reversed) << std::hex << int(c.in);
  }
  for (int v = 0; v < 256; ++v) {
    const uint8_t b = static_cast<uint8_t>(v);
    EXPECT_EQ(TeletextReverse(TeletextReverse(b)), b);
    EXPECT_EQ(std::bitset<8>(TeletextParity(b)).count() % 2, 1u);
    EXPECT_EQ(TeletextParity(b) & 0x7F, b & 0x7F);
  }
}

TEST(TeletextEncoder, UnitBytesAsTransmitted) {
  TeletextHeader header;
  header.page = 0x889;
  header.erase = true;
  header.text = "A";
  const TeletextUnit h = EncodeHeaderUnit(header);
  // Reversed code bytes: 0 -> 0xA8, 8 -> 0x0B, 9 -> 0xE3, 11 -> 0xD9.
  const uint8_t headerStart[] = {0x03, 0x2C, 0xC0, 0xE4, 0xA8, 0xA8, 0xE3, 0x0B,
                                 0xA8, 0x0B, 0xA8, 0x0B, 0xA8, 0xA8, 0x83};
  for (size_t n = 0; n < sizeof headerStart; ++n) EXPECT_EQ(h[n], headerStart[n]) << "byte " << n;
  EXPECT_EQ(h[45], TeletextReverse(0x20));  // padding is spaces

  struct RowCase {
    int magazine, row;
    uint8_t a, b;
  } rows[] = {{8, 22, 0xA8, 0xD9}, {8, 23, 0x0B, 0xD9}, {1, 1, TeletextReverse(0xC7), 0xA8}};
  for (const RowCase& c : rows) {
    const TeletextUnit u = EncodeRowUnit(c.magazine, c.row, "A", kTeletextNonSubtitleUnit);
    EXPECT_EQ(u[0], 0x02);
    EXPECT_EQ(u[4], c.a) << "row " << c.row;
    EXPECT_EQ(u[5], c.b) << "row " << c.row;
    EXPECT_EQ(u[6], 0x83);
  }

  TeletextUnit e = EncodeRowUnit(8, 22, "A");
  InjectBitErrors(e, 4, 0x81);
  EXPECT_EQ(e[4], 0xA8 ^ 0x81);
  InjectBitErrors(e, 46, 0xFF);  // outside the unit: ignored
}

TEST(TeletextEncoder, SubtitleRowIsBoxedAndCentred) {
  const std::string row = SubtitleRowText("Hello");
  ASSERT_EQ(row.size(), 40u);
  const std::string boxed = std::string("\x0D\x0B\x0BHello\x0A\x0A", 10);
  EXPECT_EQ(row.substr(15, 10), boxed);
  EXPECT_EQ(row.substr(0, 15), std::string(15, ' '));
  EXPECT_EQ(SubtitleRowText(std::string(60, 'x')).size(), 40u);
}

TEST(TeletextEncoder, SubtitlePagesEndOnRowTwentyTwo) {
  struct Case {
    size_t lines;
    std::vector<int> rows;
  } cases[] = {{0, {}},
               {1, {22}},
               {2, {20, 22}},
               {3, {18, 20, 22}},
               {12, {4, 6, 8, 10, 12, 14, 16, 18, 20, 22}}};
  for (const Case& c : cases) {
    const TeletextPage page = SubtitlePage(0x888, std::vector<std::string>(c.lines, "x"));
    EXPECT_TRUE(page.header.erase);
    std::vector<int> rows;
    for (const auto& r : page.rows) rows.push_back(r.row);
    EXPECT_EQ(rows, c.rows) << c.lines;
  }
}

TEST(TeletextEncoder, PacketsAreWholeUnitsWithStuffing) {
  struct Case {
    size_t units;
    int perPacket;
    size_t packets;
    size_t size;
  } cases[] = {{1, 7, 1, 368}, {7, 7, 1, 368}, {8, 7, 2, 368}, {3, 3, 1, 184}, {0, 7, 1, 368}};
  for (const Case& c : cases) {
    std::vector<TeletextUnit> units(c.units, EncodeRowUnit(8, 22, "x"));
    const auto packets = PackTeletextPES(units, 0x1ABCDEF01LL, c.perPacket);
    ASSERT_EQ(packets.size(), c.packets) << c.units;
    size_t seen = 0;
    for (const auto& p : packets) {
      ASSERT_EQ(p.size(), c.size);
      EXPECT_EQ(p[0], 0x00);
      EXPECT_EQ(p[1], 0x00);
      EXPECT_EQ(p[2], 0x01);
      EXPECT_EQ(p[3], 0xBD);
      EXPECT_EQ((p[4] << 8 | p[5]) + 6, static_cast<int>(c.size));
      EXPECT_EQ(p[8], 0x24);
      EXPECT_EQ(p[9] >> 4, 0x2);  // PTS only
      const int64_t pts = (int64_t{p[9] & 0x0E} << 29) | (p[10] << 22) | ((p[11] >> 1) << 15) |
                          (p[12] << 7) | (p[13] >> 1);
      EXPECT_EQ(pts, 0x1ABCDEF01LL);
      EXPECT_EQ(p[45], 0x10);
      for (size_t off = 46; off < p.size(); off += 46) {
        EXPECT_EQ(p[off + 1], 0x2C);
        if (seen < c.units) {
          EXPECT_EQ(p[off], 0x03);
          EXPECT_EQ(p[off + 2], 0xE0 | (7 + (off / 46 - 1)));  // first field, line 7 on
          EXPECT_EQ(p[off + 3], 0xE4);
          ++seen;
        } else {
          EXPECT_EQ(p[off], 0xFF);
          EXPECT_EQ(p[off + 4], 0xFF);
        }
      }
    }
    EXPECT_EQ(seen, c.units);
  }
}

}  // namespace
}  // namespace tsgen
