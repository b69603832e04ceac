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

TEST(DvbsubEncoder, PayloadAndPacket) {
  ds::DisplaySet set(1);
  set.End();
  EXPECT_EQ(set.Payload(), Bytes({0x20, 0x00, 0x0F, 0x80, 0x00, 0x01, 0x00, 0x00, 0xFF}));
  EXPECT_EQ(set.Payload(false), Bytes({0x20, 0x00, 0x0F, 0x80, 0x00, 0x01, 0x00, 0x00}));
  const Bytes packet = set.Packet(90000);
  ASSERT_EQ(packet.size(), 9u + 5u + 9u);
  EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), Bytes({0x00, 0x00, 0x01, 0xBD}));
  EXPECT_EQ((packet[4] << 8 | packet[5]) + 6, static_cast<int>(packet.size()));
  EXPECT_EQ(packet[7] & 0x80, 0x80);
  EXPECT_EQ(Bytes(packet.begin() + 14, packet.end()), set.Payload());
}

// Bitmaps of every depth, with runs of every length class, decode back to
// what was encoded (as the decoder stores it: 0xF0 | four-bit colour).
TEST(DvbsubEncoder, BitmapsSurviveTheDecoder) {
  struct Case {
    int bits;
    int width, height;
  };
  const std::vector<Case> cases = {{2, 720, 6}, {4, 720, 6}, {8, 720, 6}, {4, 33, 5}, {2, 1, 3}};
  std::mt19937 random(12345);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.width));
    const int maxCode = (1 << c.bits) - 1;
    Bytes codes;
    while (static_cast<int>(codes.size()) < c.width * c.height) {
      const int lengths[] = {1, 2, 3, 4, 7, 8, 9, 10, 11, 12, 24, 25, 27, 28, 29, 127, 128, 280,
                             284, 300};
      const int run = lengths[random() % 20];
      const uint8_t code = static_cast<uint8_t>(random() % (maxCode + 1));
      for (int i = 0; i < run; ++i) codes.push_back(code);
    }
    codes.resize(static_cast<size_t>(c.width) * c.height);

    ds::DisplaySet set(1);
    set.Page({5, 0, ds::kAcquisitionPoint, {{1, 0, 0}}});
    ds::RegionComposition rc;
    rc.regionId = 1;
    rc.width = c.width;
    rc.height = c.height;
    rc.objects = {{4, 0, 0, 0, 0}};
    set.Region(rc).Object(ds::ObjectFromBitmap(4, codes, c.width, c.height, c.bits));
    const Bytes packet = set.Packet(-1);

    subtitle_context ctx;
    LogCapture capture;
    subtitle_process_pes(&ctx, packet.data(), static_cast<uint32_t>(packet.size()));
    EXPECT_EQ(capture.Text(), "");
    subtitle_region* region = subtitle_find_region(subtitle_find_page(&ctx, 1), 1);
    ASSERT_NE(region, nullptr);
    const int map2[4] = {0, 7, 8, 15};
    for (size_t i = 0; i < codes.size(); ++i) {
      const int k = c.bits == 2 ? map2[codes[i]] : c.bits == 4 ? codes[i] : codes[i] >> 4;
      ASSERT_EQ(region->pixels[i], 0xF0 | k) << i;
    }
    subtitle_free_pages(&ctx);
  }
}
