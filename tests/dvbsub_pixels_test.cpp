// Pixel code strings, map tables, ends of lines and where the lines land.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "dvbsub/subtitle_context.h"
#include "tsgen/dvbsub_encoder.h"
#include "tsgen/pes.h"

namespace ds = tsgen::dvbsub;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Pes(const Bytes& segments) {
  return tsgen::BuildPES(0xBD, -1, Cat({{0x20, 0x00}, segments, {0xFF}}), 0);
}

struct Decoder {
  subtitle_context ctx;
  subtitle_page page;
  int y = 0;
  int x = 0;
  // Decodes one sub-block held in `bytes` (which ends the data).
  int Run(const Bytes& bytes) {
    return subtitle_process_pixel_data(&ctx, &page, 1, y, x, bytes.data(),
                                       bytes.data() + bytes.size());
  }
  Bytes Line() const { return Bytes(ctx.line, ctx.line + x); }
};

Bytes Repeat(int n, uint8_t v) { return Bytes(static_cast<size_t>(n), v); }

}  // namespace

TEST(DvbsubPixels, CodeStrings) {
  struct Case {
    const char* name;
    Bytes block;
    int result;
    Bytes pixels;
  };
  const std::vector<Case> cases = {
      // 2 bits per pixel, through the default map table 0, 7, 8, 15.
      {"2: one pixel", {0x10, 0x40}, 2, {0xF7}},
      {"2: single zero", {0x10, 0x10, 0x00}, 3, {0xF0}},
      {"2: two zeros", {0x10, 0x04, 0x00}, 3, {0xF0, 0xF0}},
      {"2: run of 10", {0x10, 0x3E, 0x00}, 3, Repeat(10, 0xF8)},
      {"2: run of 3", {0x10, 0x21, 0x00}, 3, Repeat(3, 0xF7)},
      {"2: run of 27", {0x10, 0x0B, 0xF0, 0x00}, 4, Repeat(27, 0xFF)},
      {"2: run of 12", {0x10, 0x08, 0x10, 0x00}, 4, Repeat(12, 0xF7)},
      {"2: run of 284", {0x10, 0x0F, 0xFD, 0x00}, 4, Repeat(284, 0xF7)},
      {"2: run of 29", {0x10, 0x0C, 0x01, 0x00}, 4, Repeat(29, 0xF7)},
      // 4 bits per pixel.
      {"4: two pixels", {0x11, 0x12, 0x00}, 3, {0xF1, 0xF2}},
      {"4: end mid-byte, stuffing", {0x11, 0x12, 0x30, 0x00}, 4, {0xF1, 0xF2, 0xF3}},
      {"4: nine zeros", {0x11, 0x07, 0x00}, 3, Repeat(9, 0xF0)},
      {"4: three zeros", {0x11, 0x01, 0x00}, 3, Repeat(3, 0xF0)},
      {"4: run of 7", {0x11, 0x0B, 0x50, 0x00}, 4, Repeat(7, 0xF5)},
      {"4: run of 4", {0x11, 0x08, 0xA0, 0x00}, 4, Repeat(4, 0xFA)},
      {"4: one zero", {0x11, 0x0C, 0x00}, 3, {0xF0}},
      {"4: two zeros", {0x11, 0x0D, 0x00}, 3, {0xF0, 0xF0}},
      {"4: run of 24", {0x11, 0x0E, 0xF9, 0x00}, 4, Repeat(24, 0xF9)},
      {"4: run of 280", {0x11, 0x0F, 0xFF, 0x10, 0x00}, 5, Repeat(280, 0xF1)},
      {"4: run of 25", {0x11, 0x0F, 0x00, 0xE0, 0x00}, 5, Repeat(25, 0xFE)},
      // 8 bits per pixel: the high nibble is kept.
      {"8: one pixel", {0x12, 0x37, 0x00, 0x00}, 4, {0xF3}},
      {"8: five zeros", {0x12, 0x00, 0x05, 0x00, 0x00}, 5, Repeat(5, 0xF0)},
      {"8: run of 3", {0x12, 0x00, 0x83, 0x51, 0x00, 0x00}, 6, Repeat(3, 0xF5)},
      {"8: run of 0", {0x12, 0x00, 0x80, 0x22, 0x00, 0x00}, 6, {}},
      {"8: run of 127", {0x12, 0x00, 0xFF, 0xC0, 0x00, 0x00}, 6, Repeat(127, 0xFC)},
      // Cut off by the end of the data: decoded up to there.
      {"4: no end code", {0x11, 0x12, 0x34}, 3, {0xF1, 0xF2, 0xF3, 0xF4}},
      {"4: run without its code", {0x11, 0x0E}, 2, {}},
      {"2: long run cut", {0x10, 0x0F}, 2, {}},
      {"8: run without its code", {0x12, 0x00, 0x85}, 3, {}},
      {"empty string", {0x11}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    EXPECT_EQ(d.Run(c.block), c.result);
    EXPECT_EQ(d.Line(), c.pixels);
    EXPECT_EQ(d.y, 0);
  }
}

TEST(DvbsubPixels, StringsContinueTheLineAndStopAtTheLastColumn) {
  Decoder d;
  d.x = 700;
  // 4-bit run of 50 pixels of code 1 from column 700: 20 are kept.
  EXPECT_EQ(d.Run({0x11, 0x0F, 0x19, 0x10, 0x00}), 5);
  EXPECT_EQ(d.x, 720);
  EXPECT_EQ(d.ctx.line[719], 0xF1);
  EXPECT_EQ(d.ctx.line[700], 0xF1);
  // Further pixels of the same line are dropped, the string is still read.
  EXPECT_EQ(d.Run({0x11, 0x12, 0x00}), 3);
  EXPECT_EQ(d.x, 720);
  EXPECT_EQ(d.ctx.line[719], 0xF1);
}

namespace {

// A page 1 with the given regions (id, width, height, placements of object 5
// as x, y pairs), built through the parser.
struct Scene {
  subtitle_context ctx;
  ~Scene() { subtitle_free_pages(&ctx); }
  struct Region {
    int id, width, height;
    std::vector<std::pair<int, int>> places;
  };
  explicit Scene(const std::vector<Region>& regions) {
    ds::DisplaySet set(1);
    set.Page({5, 0, 1, {}});
    for (const Region& r : regions) {
      ds::RegionComposition rc;
      rc.regionId = r.id;
      rc.width = r.width;
      rc.height = r.height;
      for (auto [x, y] : r.places) rc.objects.push_back({5, 0, 0, x, y});
      set.Region(rc);
    }
    const Bytes packet = set.Packet(-1);
    subtitle_process_pes(&ctx, packet.data(), packet.size());
  }
  subtitle_page* Page() { return subtitle_find_page(&ctx, 1); }
  uint8_t At(int region, int x, int y) {
    subtitle_region* r = subtitle_find_region(Page(), region);
    return r->pixels[y * r->width + x];
  }
  int CountSet(int region) {
    subtitle_region* r = subtitle_find_region(Page(), region);
    int n = 0;
    for (int i = 0; i < r->width * r->height; ++i) n += r->pixels[i] != 0;
    return n;
  }
};

TEST(DvbsubPixels, MapTables) {
  struct Case {
    const char* name;
    std::vector<Bytes> blocks;
    std::vector<int> results;
    Bytes pixels;  // of the line after the last block
    std::vector<int> map;
  };
  const std::vector<Case> cases = {
      {"2-to-4 table", {{0x20, 0x01, 0x23}, {0x10, 0x40}}, {3, 2}, {0xF1}, {0, 1, 2, 3}},
      {"restored at end of line",
       {{0x20, 0x01, 0x23}, {0x10, 0x40}, {0xF0}, {0x10, 0x40}},
       {3, 2, 1, 2},
       {0xF7},
       {0, 7, 8, 15}},
      {"held across strings", {{0x20, 0xFE, 0xDC}, {0x10, 0x40}, {0x10, 0x40}}, {3, 2, 2},
       {0xFE, 0xFE}, {15, 14, 13, 12}},
      {"2-to-8 ignored", {{0x21, 1, 2, 3, 4}, {0x10, 0x40}}, {5, 2}, {0xF7}, {0, 7, 8, 15}},
      {"4-to-8 ignored", {Cat({{0x22}, Repeat(16, 0x33)}), {0x11, 0x50, 0x00}}, {17, 3}, {0xF5},
       {0, 7, 8, 15}},
      {"cut 2-to-4 table", {{0x20, 0x45}}, {2}, {}, {4, 5, 8, 15}},
      {"cut 4-to-8 table", {{0x22, 1, 2, 3}}, {4}, {}, {0, 7, 8, 15}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    for (size_t i = 0; i < c.blocks.size(); ++i) EXPECT_EQ(d.Run(c.blocks[i]), c.results[i]) << i;
    EXPECT_EQ(d.Line(), c.pixels);
    EXPECT_EQ(std::vector<int>(d.ctx.mapTable, d.ctx.mapTable + 4), c.map);
  }
}

}  // namespace

TEST(DvbsubPixels, LinesOutsideTheRegionAreDropped) {
  struct Case {
    const char* name;
    int width, height, px, py, y, length;
    int expectSet;
  };
  const std::vector<Case> cases = {
      {"below the bottom", 20, 2, 0, 0, 2, 10, 0},
      {"last row", 20, 2, 0, 0, 1, 10, 10},
      {"placed below", 20, 2, 0, 4000, 0, 10, 0},
      {"placed right of the edge", 20, 2, 4000, 0, 0, 10, 0},
      {"placed at the edge", 20, 2, 20, 0, 0, 10, 0},
      {"line longer than screen row", 720, 1, 0, 0, 0, 720, 720},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene s({{1, c.width, c.height, {{c.px, c.py}}}});
    const Bytes line(720, 0xF3);
    subtitle_write_line(s.Page(), 5, c.y, line.data(), c.length);
    EXPECT_EQ(s.CountSet(1), c.expectSet);
  }
}

TEST(DvbsubPixels, FieldLengthsBeyondTheSegmentAreCut) {
  Scene s({{1, 8, 2, {{0, 0}}}});
  ds::ObjectData od = ds::ObjectFromBitmap(5, Bytes(16, 4), 8, 2, 4);
  Bytes seg = ds::EncodeObjectData(1, od);
  // Claim a top field of 60,000 bytes; the data that follow the segment (a
  // page composition) must not be taken for pixel data.
  seg[6 + 3] = 0xEA;
  seg[6 + 4] = 0x60;
  LogCapture capture;
  const Bytes packet = Pes(Cat({seg, ds::EncodePageComposition(2, {3, 0, 1, {}})}));
  subtitle_process_pes(&s.ctx, packet.data(), packet.size());
  EXPECT_NE(capture.Text().find("ERROR: Object 5: fields of 60000 + "), std::string::npos);
  EXPECT_EQ(capture.Text().find("invalid data_type"), std::string::npos);
  // Both rows are there: the top field runs on into the bottom field's lines.
  EXPECT_EQ(s.At(1, 0, 0), 0xF4);
  EXPECT_NE(subtitle_find_page(&s.ctx, 2), nullptr);
}

TEST(DvbsubPixels, ObjectSegmentTooShortForFieldLengths) {
  Scene s({{1, 8, 2, {{0, 0}}}});
  LogCapture capture;
  const Bytes packet = Pes(ds::Segment(0x13, 1, {0x00, 0x05, 0x00, 0x00}));
  subtitle_process_pes(&s.ctx, packet.data(), packet.size());
  EXPECT_EQ(capture.Text(), "ZUVA: ERROR: Object 5: segment of 4 bytes has no field lengths.\n");
}
