// The display set encoder: exact bytes for the segment layouts and the
// shortest run codes, and bitmaps that come back unchanged through the
// decoder.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/log.h"
#include "dvbsub/subtitle_context.h"
#include "tsgen/dvbsub_encoder.h"

namespace ds = tsgen::dvbsub;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Repeat(int n, uint8_t v) { return Bytes(static_cast<size_t>(n), v); }

}  // namespace

TEST(DvbsubEncoder, PixelStrings) {
  struct Case {
    const char* name;
    Bytes block;
    Bytes expect;
  };
  // Where the shortest form has to be chosen or a run split; the decoder
  // tests read the same bytes back.
  const std::vector<Case> cases = {
      {"2: zero", ds::PixelString2({0}), {0x10, 0x10, 0x00}},
      {"2: two zeros", ds::PixelString2({0, 0}), {0x10, 0x04, 0x00}},
      {"2: two ones", ds::PixelString2({1, 1}), {0x10, 0x50, 0x00}},
      {"2: run of 11 splits", ds::PixelString2(Repeat(11, 2)), {0x10, 0x3E, 0x80}},
      {"2: run of 284", ds::PixelString2(Repeat(284, 1)), {0x10, 0x0F, 0xFD, 0x00}},
      {"4: three pixels", ds::PixelString4({1, 2, 3}), {0x11, 0x12, 0x30, 0x00}},
      {"4: nine zeros", ds::PixelString4(Repeat(9, 0)), {0x11, 0x07, 0x00}},
      {"4: ten zeros", ds::PixelString4(Repeat(10, 0)), {0x11, 0x0E, 0x10, 0x00}},
      {"4: run of 280", ds::PixelString4(Repeat(280, 1)), {0x11, 0x0F, 0xFF, 0x10, 0x00}},
      {"8: run", ds::PixelString8(Repeat(3, 0x51)), {0x12, 0x00, 0x83, 0x51, 0x00, 0x00}},
      {"8: pair", ds::PixelString8({0x51, 0x51}), {0x12, 0x51, 0x51, 0x00, 0x00}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.block, c.expect) << c.name;
}

TEST(DvbsubEncoder, Segments) {
  struct Case {
    const char* name;
    Bytes got;
    Bytes expect;
  };
  ds::RegionComposition rc;
  rc.regionId = 7;
  rc.version = 3;
  rc.fill = true;
  rc.width = 0x0258;
  rc.height = 0x0032;
  rc.depth = 2;
  rc.clutId = 1;
  rc.code8 = 0xAB;
  rc.code4 = 0xC;
  rc.code2 = 2;
  rc.objects = {{0x0102, 0, 1, 0x345, 0x067}, {0x0203, 1, 0, 1, 2, 0x11, 0x22}};
  ds::ClutEntry full;
  full.id = 4;
  full.y = 0xEB;
  full.cr = 0x80;
  full.cb = 0x81;
  full.t = 0x10;
  ds::ClutEntry reduced = full;
  reduced.id = 5;
  reduced.for2 = true;
  reduced.fullRange = false;
  ds::ObjectData od;
  od.objectId = 0x0102;
  od.version = 2;
  od.top = {0x11, 0x12, 0x00, 0xF0};
  od.bottom = {0xF0};
  const std::vector<Case> cases = {
      {"page", ds::EncodePageComposition(0x0123, {15, 5, ds::kModeChange, {{2, 0x0102, 0x0304}}}),
       {0x0F, 0x10, 0x01, 0x23, 0x00, 0x08, 15, 0x58, 2, 0xFF, 0x01, 0x02, 0x03, 0x04}},
      {"region", ds::EncodeRegionComposition(1, rc),
       {0x0F, 0x11, 0x00, 0x01, 0x00, 0x18, 7, 0x3F, 0x02, 0x58, 0x00, 0x32, 0x4B, 1, 0xAB, 0xCB,
        0x01, 0x02, 0x13, 0x45, 0xF0, 0x67, 0x02, 0x03, 0x40, 0x01, 0xF0, 0x02, 0x11, 0x22}},
      {"clut", ds::EncodeClutDefinition(1, {9, 6, {full, reduced}}),
       {0x0F, 0x12, 0x00, 0x01, 0x00, 0x0C, 9, 0x6F, 4, 0x5F, 0xEB, 0x80, 0x81, 0x10, 5, 0xDE,
        0xEA, 0x20}},
      {"object", ds::EncodeObjectData(1, od),
       {0x0F, 0x13, 0x00, 0x01, 0x00, 0x0C, 0x01, 0x02, 0x21, 0x00, 0x04, 0x00, 0x01, 0x11, 0x12,
        0x00, 0xF0, 0xF0}},
      {"end", ds::EncodeEndOfDisplaySet(0x0203), {0x0F, 0x80, 0x02, 0x03, 0x00, 0x00}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expect) << c.name;
}

// Bitmaps of every depth, with runs of every length class, decode back to
// what was encoded (as the decoder stores it: 0xF0 | four-bit colour).
