// The DVB subtitle decoder: packets and segments into pages, regions and
// CLUTs, pixel strings into lines, pages onto the screen, and streams laid out
// the way common encoders write them.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "dvbsub/dvb_subtitle.h"
#include "dvbsub/subtitle_context.h"
#include "support/dvbsub_screen.h"
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

Bytes Repeat(int n, uint8_t v) { return Bytes(static_cast<size_t>(n), v); }

}  // namespace

// Walking packets and segments into pages, regions, CLUTs and placements.
namespace parse {

namespace {

struct Context {
  subtitle_context ctx;
  ~Context() { subtitle_free_pages(&ctx); }
  void Feed(const Bytes& packet) { subtitle_process_pes(&ctx, packet.data(), packet.size()); }
  subtitle_page* Page(int id) { return subtitle_find_page(&ctx, id); }
};

// A PES packet around raw payload bytes (no PTS, header data length 0).
Bytes Pes(const Bytes& payload) { return tsgen::BuildPES(0xBD, -1, payload, 0); }

Bytes PageSeg(int pageId, int version, int state, std::vector<ds::RegionRef> refs, int timeOut = 5) {
  ds::PageComposition pc;
  pc.timeOut = timeOut;
  pc.version = version;
  pc.state = state;
  pc.regions = std::move(refs);
  return ds::EncodePageComposition(pageId, pc);
}

int CountPages(const subtitle_context& ctx) {
  int n = 0;
  for (const subtitle_page* p = ctx.pages; p != nullptr; p = p->next) ++n;
  return n;
}

TEST(DvbsubParse, ClutEntries) {
  struct Case {
    const char* name;
    std::vector<ds::ClutEntry> entries;
    int count;
    int id;
    std::vector<uint8_t> expect;  // Y, Cr, Cb, T of entry `id`
  };
  auto full = [](int id, uint8_t y, uint8_t cr, uint8_t cb, uint8_t t) {
    ds::ClutEntry e;
    e.id = id;
    e.y = y;
    e.cr = cr;
    e.cb = cb;
    e.t = t;
    return e;
  };
  ds::ClutEntry reduced = full(2, 0xFF, 0xFF, 0xFF, 0xFF);
  reduced.fullRange = false;
  ds::ClutEntry reducedMixed = full(3, 0x84, 0x50, 0xA0, 0x40);
  reducedMixed.fullRange = false;
  ds::ClutEntry only8 = full(1, 50, 60, 70, 80);
  only8.for4 = false;
  only8.for8 = true;
  ds::ClutEntry only2 = full(1, 50, 60, 70, 80);
  only2.for4 = false;
  only2.for2 = true;
  const std::vector<Case> cases = {
      {"full range", {full(5, 235, 128, 128, 0)}, 1, 5, {235, 128, 128, 0}},
      {"reduced all ones", {reduced}, 1, 2, {0xFC, 0xF0, 0xF0, 0xC0}},
      {"reduced mixed", {reducedMixed}, 1, 3, {0x84, 0x50, 0xA0, 0x40}},
      {"8-bit only skipped", {only8}, 0, 1, {0, 0, 0, 0}},
      {"2-bit flag stored", {only2}, 1, 1, {50, 60, 70, 80}},
      {"id 16 skipped, next stored", {full(16, 1, 2, 3, 4), full(0, 9, 9, 9, 9)}, 1, 0, {9, 9, 9, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ds::ClutDefinition def;
    def.clutId = 2;
    def.entries = c.entries;
    Context t;
    t.Feed(Pes(Cat({{0x20, 0x00}, PageSeg(1, 0, 1, {}), ds::EncodeClutDefinition(1, def)})));
    subtitle_clut* clut = subtitle_find_clut(t.Page(1), 2);
    ASSERT_NE(clut, nullptr);
    EXPECT_EQ(clut->count, c.count);
    EXPECT_EQ(Bytes(clut->entries[c.id], clut->entries[c.id] + 4), c.expect);
  }
}

TEST(DvbsubParse, RegionFillByDepth) {
  struct Case {
    const char* name;
    bool fill;
    int depth;
    int code8, code4, code2;
    uint8_t expect;
    std::string log;
  };
  const std::vector<Case> cases = {
      {"no fill", false, 2, 0x77, 9, 3, 0, ""},
      {"2-bit", true, 1, 0x77, 9, 3, 3, ""},
      {"4-bit", true, 2, 0x77, 9, 3, 9, ""},
      {"8-bit", true, 3, 0x77, 9, 3, 0x77, ""},
      {"invalid depth", true, 0, 0x77, 9, 3, 0, "ZUVA: ERROR: Invalid depth for region.\n"},
      {"invalid depth 5", true, 5, 0x77, 9, 3, 0, "ZUVA: ERROR: Invalid depth for region.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ds::RegionComposition rc;
    rc.regionId = 4;
    rc.fill = c.fill;
    rc.width = 30;
    rc.height = 7;
    rc.depth = c.depth;
    rc.code8 = c.code8;
    rc.code4 = c.code4;
    rc.code2 = c.code2;
    rc.clutId = 6;
    Context t;
    t.Feed(Pes(Cat({{0x20, 0x00}, PageSeg(1, 0, 1, {})})));
    LogCapture capture;
    t.Feed(Pes(Cat({{0x20, 0x00}, ds::EncodeRegionComposition(1, rc)})));
    EXPECT_EQ(capture.Text(), c.log);
    subtitle_region* r = subtitle_find_region(t.Page(1), 4);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(r->pixels, nullptr);
    EXPECT_EQ(r->width, 30);
    EXPECT_EQ(r->height, 7);
    EXPECT_EQ(r->clutId, 6);
    for (int i = 0; i < 30 * 7; ++i) ASSERT_EQ(r->pixels[i], c.expect) << i;
  }
}

}  // namespace

TEST(DvbsubParse, PacketFramingAndTrailingData) {
  const Bytes page = PageSeg(1, 0, 1, {{1, 10, 20}});
  struct Case {
    const char* name;
    Bytes packet;
    std::string log;
    int pages;
  };
  Bytes badStart = Pes(Cat({{0x20, 0x00}, page}));
  badStart[2] = 0x02;
  Bytes badStream = Pes(Cat({{0x20, 0x00}, page}));
  badStream[3] = 0xC0;
  Bytes longSeg = Cat({{0x20, 0x00}, page});
  longSeg[2 + 5] += 1;  // declared one byte longer than the packet holds
  const std::vector<Case> cases = {
      {"ends after last segment", Pes(Cat({{0x20, 0x00}, page})), "", 1},
      {"end marker", Pes(Cat({{0x20, 0x00}, page, {0xFF}})), "", 1},
      {"other trailing byte", Pes(Cat({{0x20, 0x00}, page, {0x00}})),
       "ZUVA: ERROR: Strange data at the end\n", 1},
      {"bad start code", badStart,
       "ZUVA: subtitle_process_pes: invalid startcode 00 00 02\n", 0},
      {"bad stream id", badStream, "ZUVA: subtitle_process_pes: invalid stream_id c0\n", 0},
      {"data identifier 0x21", Pes(Cat({{0x21, 0x00}, page})),
       "ZUVA: ERROR: Data identifier is 0x21, but not 0x20\n", 0},
      {"only identifiers", Pes({0x20, 0x00}), "ZUVA: ERROR: No data left (0)\n", 0},
      {"shorter than its header", {0x00, 0x00, 0x01, 0xBD, 0x00, 0x05, 0x84, 0x80, 0x05, 0x21},
       "ZUVA: ERROR: No data left (-6)\n", 0},
      {"a few bytes", {0x00, 0x00, 0x01, 0xBD}, "ZUVA: ERROR: No data left (-7)\n", 0},
      {"segment longer than packet", Pes(longSeg), "ZUVA: ERROR: Strange data at the end\n", 0},
      {"cut segment header", Pes({0x20, 0x00, 0x0F, 0x10, 0x00}),
       "ZUVA: ERROR: Strange data at the end\n", 0},
      {"display definition skipped", Pes(Cat({{0x20, 0x00}, ds::Segment(0x14, 1, {0, 0, 0, 0, 0}), page})),
       "ZUVA: ERROR: Unhandled segment type 14\n", 1},
      {"stuffing skipped", Pes(Cat({{0x20, 0x00}, ds::Segment(0xFF, 1, {1, 2, 3}), page})), "", 1},
      {"character-coded object skipped",
       Pes(Cat({{0x20, 0x00}, page, ds::Segment(0x13, 1, {0, 1, 0x04, 0x02, 0x41}), page})),
       "ZUVA: ERROR: object_coding_method 1 (strings?) is not implemented!\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Context t;
    t.Feed(c.packet);
    EXPECT_EQ(capture.Text(), c.log);
    EXPECT_EQ(CountPages(t.ctx), c.pages);
  }
}

TEST(DvbsubParse, ShortObjectEntryReadsIntoNextSegmentOnly) {
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.width = 4;
  rc.height = 4;
  rc.objects = {{7, 1, 0, 1, 1, 0, 0}};
  Bytes seg = ds::EncodeRegionComposition(1, rc);
  seg.resize(seg.size() - 2);  // the two pixel-code bytes are missing
  const int length = static_cast<int>(seg.size()) - 6;
  seg[4] = static_cast<uint8_t>(length >> 8);
  seg[5] = static_cast<uint8_t>(length);
  LogCapture capture;
  Context t;
  t.Feed(Pes(Cat({{0x20, 0x00}, PageSeg(1, 0, 1, {}), seg, PageSeg(2, 0, 1, {{1, 0, 0}})})));
  EXPECT_EQ(capture.Text(), "ZUVA: ERROR: Not enough data! (" + std::to_string(length) + " < " +
                                std::to_string(length + 2) + ")\n");
  // The next segment is parsed from its own start.
  ASSERT_NE(t.Page(2), nullptr);
  const subtitle_region_object* o = subtitle_find_region(t.Page(1), 1)->objects;
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->foregroundPixelCode, 0x0F);  // the sync byte of the next segment
  EXPECT_EQ(o->backgroundPixelCode, 0x10);
}

TEST(DvbsubParse, OversizedRegionsAreRefusedAndParsingGoesOn) {
  struct Case {
    int width, height;
    bool refused;
  };
  const std::vector<Case> cases = {{65535, 65535, true}, {721, 10, true}, {10, 577, true},
                                   {0, 10, true},         {10, 0, true},   {720, 576, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    ds::RegionComposition rc;
    rc.regionId = 3;
    rc.width = c.width;
    rc.height = c.height;
    rc.fill = true;
    rc.code4 = 5;
    LogCapture capture;
    Context t;
    t.Feed(Pes(Cat({{0x20, 0x00}, PageSeg(1, 0, 1, {}), ds::EncodeRegionComposition(1, rc),
                    PageSeg(2, 0, 1, {})})));
    subtitle_region* r = subtitle_find_region(t.Page(1), 3);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->pixels == nullptr, c.refused);
    EXPECT_EQ(capture.Text().find("refused") != std::string::npos, c.refused);
    EXPECT_NE(t.Page(2), nullptr);
    // A repeat of the refused version logs nothing more.
    capture.Clear();
    t.Feed(Pes(Cat({{0x20, 0x00}, ds::EncodeRegionComposition(1, rc)})));
    EXPECT_EQ(capture.Text(), "");
  }
}

TEST(DvbsubParse, RegionMemoryIsBounded) {
  Context t;
  t.Feed(Pes(Cat({{0x20, 0x00}, PageSeg(1, 0, 1, {})})));
  LogCapture capture;
  for (int id = 0; id < 17; ++id) {
    ds::RegionComposition rc;
    rc.regionId = id;
    rc.width = 720;
    rc.height = 576;
    t.Feed(Pes(Cat({{0x20, 0x00}, ds::EncodeRegionComposition(1, rc)})));
  }
  EXPECT_NE(subtitle_find_region(t.Page(1), 15)->pixels, nullptr);
  EXPECT_EQ(subtitle_find_region(t.Page(1), 16)->pixels, nullptr);
  EXPECT_EQ(t.ctx.regionBytes, kSubtitleMaxRegionBytes);
  subtitle_free_pages(&t.ctx);
  EXPECT_EQ(t.ctx.regionBytes, 0u);
  EXPECT_EQ(t.ctx.pages, nullptr);
}

}  // namespace parse

// Pixel code strings, map tables, ends of lines and where the lines land.
namespace pixels {

namespace {

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

TEST(DvbsubPixels, ObjectSegmentTooShortForFieldLengths) {
  Scene s({{1, 8, 2, {{0, 0}}}});
  LogCapture capture;
  const Bytes packet = Pes(ds::Segment(0x13, 1, {0x00, 0x05, 0x00, 0x00}));
  subtitle_process_pes(&s.ctx, packet.data(), packet.size());
  EXPECT_EQ(capture.Text(), "ZUVA: ERROR: Object 5: segment of 4 bytes has no field lengths.\n");
}

}  // namespace pixels

// Drawing pages, clearing what was drawn, probing the screen and working out
// the display time.
namespace display {

namespace {

struct Placed {
  int id;
  int x, y, width, height;
  int fillCode = 0;  // 4-bit fill, 0 for none
  int clutId = 0;
};

struct Screen {
  RecordingFrameBuffer fb;
  subtitle_context ctx;
  Screen() {
    ctx.frameBuffer = &fb;
    ctx.enabled = 1;
    ctx.bbox = {720, 576, 0, 0};
  }
  ~Screen() { subtitle_free_pages(&ctx); }

  void Feed(const ds::DisplaySet& set) {
    const Bytes packet = set.Packet(-1);
    subtitle_process_pes(&ctx, packet.data(), packet.size());
  }

  // One acquisition-point display set of page 1 with the given regions
  // (references in the order given, each region defined once).
  void Show(const std::vector<Placed>& regions, int timeOut = 5, bool end = true,
            std::vector<int> order = {}) {
    ds::DisplaySet set(1);
    ds::PageComposition pc{timeOut, version++, ds::kAcquisitionPoint, {}};
    if (order.empty()) {
      for (const Placed& p : regions) order.push_back(p.id);
    }
    for (int id : order) {
      for (const Placed& p : regions) {
        if (p.id == id) {
          pc.regions.push_back({p.id, p.x, p.y});
          break;
        }
      }
    }
    set.Page(pc);
    for (const Placed& p : regions) {
      ds::RegionComposition rc;
      rc.regionId = p.id;
      rc.version = version;
      rc.width = p.width;
      rc.height = p.height;
      rc.fill = p.fillCode != 0;
      rc.code4 = p.fillCode;
      rc.clutId = p.clutId;
      set.Region(rc);
    }
    if (end) set.End();
    Feed(set);
  }
  int version = 0;
};

TEST(DvbsubDisplay, NothingDrawnRemovesTheClearTime) {
  Screen s;
  ds::DisplaySet set(1);
  set.Page({4, 0, ds::kAcquisitionPoint, {{9, 10, 10}}});
  s.Feed(set);
  s.ctx.nextPageTimeout = 7;
  LogCapture capture;
  subtitle_redraw_page(&s.ctx, 1);
  EXPECT_EQ(capture.Text(),
            "ZUVA:   Redraw Page: 1\n"
            "ZUVA:     Draw Region: 9\n"
            "ZUVA: ERROR: Region not found.\n"
            "ZUVA:   Nothing drawn...keep next clear time from old setting.\n"
            "ZUVA:   nextPageTimeout[1] = 7\n"
            "ZUVA:   Nothing drawn...Remove cleartime.\n"
            "ZUVA:   nextPageTimeout[1] = 0\n");
  EXPECT_EQ(s.ctx.nextPageTimeout, 0);
  // A page that does not exist changes nothing.
  s.ctx.nextPageTimeout = 3;
  subtitle_redraw_page(&s.ctx, 77);
  EXPECT_EQ(s.ctx.nextPageTimeout, 3);
}

}  // namespace

TEST(DvbsubDisplay, TimeOutArithmetic) {
  struct Case {
    int pageTimeOut, maxShowTime, expect;
    std::string lines;
  };
  const std::vector<Case> cases = {
      {10, 5, 5, "ZUVA:   nextPageTimeout[1] = MIN(5, 10) = 5\n"},
      {3, 5, 3, "ZUVA:   nextPageTimeout[1] = MIN(5, 3) = 3\n"},
      {0, 5, 6,
       "ZUVA:   nextPageTimeout[1] = MIN(5, 0) = 0\n"
       "ZUVA:   nextPageTimeout[1] = [FORCED TO MAX 6 seconds] 6\n"},
      {255, 0, 255, "ZUVA:   nextPageTimeout[1] = 255\n"},
      {0, 0, 6,
       "ZUVA:   nextPageTimeout[1] = 0\n"
       "ZUVA:   nextPageTimeout[1] = [FORCED TO MAX 6 seconds] 6\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pageTimeOut) + "/" + std::to_string(c.maxShowTime));
    Screen s;
    s.ctx.maxShowTime = c.maxShowTime;
    s.Show({{1, 100, 500, 10, 10, 1}}, c.pageTimeOut, false);
    LogCapture capture;
    subtitle_redraw_page(&s.ctx, 1);
    EXPECT_EQ(s.ctx.nextPageTimeout, c.expect);
    EXPECT_EQ(capture.Text(), "ZUVA:   Redraw Page: 1\nZUVA:     Draw Region: 1\n" + c.lines);
  }
}

TEST(DvbsubDisplay, RegionsAtAndBeyondTheScreenEdges) {
  struct Case {
    const char* name;
    Placed region;
    std::string blit;  // expected call, empty for none
    subtitle_bbox box;
    int setPixels;
  };
  const std::vector<Case> cases = {
      {"beyond the right edge", {1, 721, 10, 20, 20, 5}, "", {720, 576, 0, 0}, 0},
      {"beyond the bottom", {1, 10, 577, 20, 20, 5}, "", {720, 576, 0, 0}, 0},
      {"at the right edge", {1, 720, 10, 20, 20, 5}, "", {720, 10, 740, 30}, 0},
      {"cut at the right", {1, 100, 10, 700, 4, 5}, "BlitBitmap 620 4 100 10", {100, 10, 800, 14},
       620 * 4},
      {"cut at the bottom", {1, 0, 550, 10, 50, 5}, "BlitBitmap 10 26 0 550", {0, 550, 10, 600},
       10 * 26},
      {"whole screen", {1, 0, 0, 720, 576, 5}, "BlitBitmap 720 576 0 0", {0, 0, 720, 576},
       720 * 576},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s;
    s.ctx.maxShowTime = 0;
    s.Show({c.region}, 9);
    EXPECT_EQ(s.fb.CountCalls("BlitBitmap"), c.blit.empty() ? 0 : 1);
    if (!c.blit.empty()) {
      EXPECT_EQ(s.fb.calls.back(), c.blit);
    }
    EXPECT_EQ(s.fb.offScreen, 0);
    EXPECT_EQ(s.fb.CountSet(), c.setPixels);
    EXPECT_EQ(s.ctx.bbox.x0, c.box.x0);
    EXPECT_EQ(s.ctx.bbox.y0, c.box.y0);
    EXPECT_EQ(s.ctx.bbox.x1, c.box.x1);
    EXPECT_EQ(s.ctx.bbox.y1, c.box.y1);
    // Drawn or not, the region counts for the display time.
    EXPECT_EQ(s.ctx.nextPageTimeout, 9);
    // And the clear stays on the screen too.
    s.fb.Lock();
    subtitle_clear_bbox(&s.ctx);
    s.fb.Unlock();
    EXPECT_EQ(s.fb.offScreen, 0);
    EXPECT_EQ(s.fb.CountSet(), 0);
  }
}

TEST(DvbsubDisplay, ForeignPixelsStopDrawingAndClearing) {
  struct Case {
    const char* name;
    int x, y;
    bool free;
  };
  const std::vector<Case> cases = {
      {"message line above", 360, 30, false},
      {"odd row is not probed", 360, 31, true},
      {"other column", 359, 30, true},
      {"inside the box's rows", 360, 405, true},
      {"last probed row", 360, 574, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s;
    s.Show({{1, 100, 400, 500, 20, 2}});  // drawn, box rows 400..420
    s.fb.calls.clear();
    s.fb.SetPixel(c.x, c.y, 0xFFFFFFFF);
    // The next display set: clear the old box, draw again.
    s.Show({{1, 100, 400, 500, 20, 2}});
    EXPECT_EQ(s.fb.CountCalls("FillRect"), c.free ? 1 : 0);
    EXPECT_EQ(s.fb.CountCalls("BlitBitmap"), c.free ? 1 : 0);
    // The box grows all the same, and the display time is worked out.
    EXPECT_EQ(s.ctx.bbox.y0, 400);
    EXPECT_EQ(s.ctx.nextPageTimeout, 5);
  }
}

}  // namespace display

// The DVB decoder object as the PES filter and decoder control see it.
namespace decoder {

namespace {

uint32_t Feed(DVBSubtitle& dvb, const Bytes& bytes) {
  PESPacket packet;
  Bytes copy = bytes;
  packet.data = copy.data();
  packet.size = static_cast<uint32_t>(copy.size());
  return dvb.processPES(packet);
}

// A typical display set: page 1 with two regions of 4-bit text-like pixels.
ds::DisplaySet TwoRegions(int timeOut, int version, int state = ds::kAcquisitionPoint) {
  ds::DisplaySet set(1);
  set.Page({timeOut, version, state, {{1, 60, 430}, {2, 60, 490}}});
  ds::ClutDefinition clut{0, version, {}};
  for (int k = 0; k < 4; ++k) {
    ds::ClutEntry e;
    e.id = k;
    e.y = k == 0 ? 0 : static_cast<uint8_t>(60 * k);
    clut.entries.push_back(e);
  }
  set.Clut(clut);
  for (int id = 1; id <= 2; ++id) {
    ds::RegionComposition rc;
    rc.regionId = id;
    rc.version = version;
    rc.width = 600;
    rc.height = 50;
    rc.objects = {{id, 0, 0, 0, 0}};
    set.Region(rc);
    Bytes codes(600 * 50);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = ((i / 7) % 3 == 0) ? 1 : 0;
    set.Object(ds::ObjectFromBitmap(id, codes, 600, 50, 4, version));
  }
  set.End();
  return set;
}

struct Running {
  RecordingFrameBuffer fb;
  Config config;
  DVBSubtitle dvb;
  explicit Running(const char* maxShowTime = nullptr) {
    if (maxShowTime != nullptr) config.set("DVBMaxShowTime", maxShowTime);
    dvb.config = &config;
    dvb.frameBuffer = &fb;
    dvb.configure();
  }
};

}  // namespace

// Every prefix of a display set, and every byte of it changed, must neither
// read nor write outside the packet and the screen. ASan watches the reads;
// the recording framebuffer counts writes off the screen and lock misuse.
TEST(DvbsubDecoder, TruncatedAndCorruptedPacketsStayInBounds) {
  ds::DisplaySet set(1);
  set.Page({5, 0, ds::kAcquisitionPoint, {{1, 650, 540}, {2, 0, 0}}});
  set.Clut({0, 0, {ds::ClutEntry{}}});
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.width = 100;
  rc.height = 40;
  rc.objects = {{1, 0, 0, 50, 30}, {1, 1, 0, 0, 0, 1, 2}};
  set.Region(rc);
  Bytes codes(100 * 20, 5);
  set.Object(ds::ObjectFromBitmap(1, codes, 100, 20, 2));
  set.Object(ds::ObjectFromBitmap(1, codes, 100, 20, 8));
  set.End();
  const Bytes packet = set.Packet(1000);

  Running r;
  LogCapture capture;  // keep the flood of error lines out of the test output
  for (size_t n = 0; n <= packet.size(); ++n) {
    Bytes cut(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
    r.dvb.processPES(PESPacket{0, cut.data(), static_cast<uint32_t>(cut.size())});
    r.dvb.configure();
  }
  const uint8_t values[] = {0x00, 0x01, 0x0F, 0x7F, 0x80, 0xF0, 0xFF};
  for (size_t i = 0; i < packet.size(); ++i) {
    for (uint8_t v : values) {
      Bytes bad = packet;
      bad[i] = v;
      r.dvb.processPES(PESPacket{0, bad.data(), static_cast<uint32_t>(bad.size())});
      r.dvb.clear(0);
      if (i % 16 == 0) r.dvb.configure();
    }
  }
  EXPECT_EQ(r.fb.offScreen, 0);
  EXPECT_EQ(r.fb.lockMisuse, 0);
  EXPECT_EQ(r.fb.unlockedDraws, 0);
  EXPECT_FALSE(r.fb.locked);
}

TEST(DvbsubDecoder, HugeRegionAndLyingHeaderLength) {
  Running r;
  ds::DisplaySet set(1);
  set.Page({5, 0, ds::kAcquisitionPoint, {{1, 0, 0}}});
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.width = 65535;
  rc.height = 65535;
  rc.objects = {{1, 0, 0, 0, 0}};
  set.Region(rc);
  set.Object(ds::ObjectFromBitmap(1, Bytes(720 * 4, 3), 720, 4, 4));
  set.End();
  LogCapture capture;
  // The region is refused but still counts for the display time.
  EXPECT_EQ(Feed(r.dvb, set.Packet(0)), 5000u);
  EXPECT_NE(capture.Text().find("ERROR: Region 1 of 65535x65535 refused.\n"), std::string::npos);
  EXPECT_EQ(r.fb.CountSet(), 0);

  Bytes lying = TwoRegions(5, 1).Packet(0);
  lying[8] = 0xFF;  // header data length far beyond the packet's end... or not
  lying.resize(200);
  capture.Clear();
  EXPECT_EQ(Feed(r.dvb, lying), 0u);
  EXPECT_NE(capture.Text().find("ERROR: No data left (-66)\n"), std::string::npos);
}

}  // namespace decoder

// Streams laid out the way common encoders write them: every display set a
// mode change that redefines its CLUT at version 0, and regions of 2 bits per
// pixel whose CLUT defines only the four 2-bit entries.
namespace interop {

namespace {

struct Decoder {
  LogCapture capture;
  RecordingFrameBuffer fb;
  Config config;
  DVBSubtitle dvb;
  Decoder() {
    dvb.config = &config;
    dvb.frameBuffer = &fb;
    dvb.configure();
  }
  uint32_t Feed(const Bytes& bytes) {
    PESPacket packet;
    Bytes copy = bytes;
    packet.data = copy.data();
    packet.size = static_cast<uint32_t>(copy.size());
    return dvb.processPES(packet);
  }
};

ds::ClutEntry Entry(int id, uint8_t y, uint8_t cr, uint8_t cb, bool for2, bool for4) {
  ds::ClutEntry e;
  e.id = id;
  e.for2 = for2;
  e.for4 = for4;
  e.y = y;
  e.cr = cr;
  e.cb = cb;
  return e;
}

// One region of 40 x 4 pixels at (100, 200), one object of 2-bit codes: ten
// columns each of codes 0, 1, 2 and 3. The region version follows the page
// version, the CLUT stays at `clutVersion`.
Bytes DisplaySet(int version, int state, int depth, int clutVersion,
                 const std::vector<ds::ClutEntry>& entries, bool withClut = true) {
  ds::DisplaySet set(1);
  set.Page({10, version, state, {{1, 100, 200}}});
  if (withClut) set.Clut({0, clutVersion, entries});
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.version = version;
  rc.width = 40;
  rc.height = 4;
  rc.depth = depth;
  rc.clutId = 0;
  rc.objects = {{1, 0, 0, 0, 0}};
  set.Region(rc);
  Bytes codes(40 * 4);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>((i % 40) / 10);
  set.Object(ds::ObjectFromBitmap(1, codes, 40, 4, 2, version));
  set.End();
  return set.Packet(-1);
}

// The colours of the columns showing codes 1, 2 and 3 (0 stays transparent).
std::vector<uint32_t> Shown(const RecordingFrameBuffer& fb) {
  return {fb.Pixel(100 + 5, 201), fb.Pixel(100 + 15, 201), fb.Pixel(100 + 25, 201),
          fb.Pixel(100 + 35, 201)};
}

const uint32_t kWhite = 0xFEFEFEFF;  // Y 235
const uint32_t kBlack = 0x000000FF;  // Y 16
const uint32_t kRed = subtitle_ycrcb_to_colour(std::vector<uint8_t>{81, 240, 90, 0}.data());
const uint32_t kGreen = subtitle_ycrcb_to_colour(std::vector<uint8_t>{145, 34, 54, 0}.data());

}  // namespace

TEST(DvbsubInterop, TwoBitRegionsShowTheTwoBitEntries) {
  const auto twoBitOnly = std::vector<ds::ClutEntry>{
      Entry(0, 0, 128, 128, true, false), Entry(1, 235, 128, 128, true, false),
      Entry(2, 81, 240, 90, true, false), Entry(3, 145, 34, 54, true, false)};
  // A 4-bit CLUT where the default map sends codes 1, 2, 3 (entries 7, 8, 15).
  const auto fourBit = std::vector<ds::ClutEntry>{
      Entry(1, 16, 128, 128, false, true), Entry(7, 235, 128, 128, false, true),
      Entry(8, 81, 240, 90, false, true), Entry(15, 145, 34, 54, false, true)};
  struct Case {
    const char* name;
    int depth;
    std::vector<ds::ClutEntry> entries;
    bool withClut;
    std::vector<uint32_t> expected;  // code 0, 1, 2, 3
  };
  const std::vector<Case> cases = {
      {"2-bit region, 2-bit CLUT entries 0 to 3", 1, twoBitOnly, true, {0, kWhite, kRed, kGreen}},
      {"4-bit region maps 2-bit codes to entries 7, 8, 15", 2, fourBit, true,
       {0, kWhite, kRed, kGreen}},
      {"2-bit region without its CLUT: default white, black, grey", 1, {}, false,
       {0, 0xFFFFFFFF, kBlack, 0x808080FF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    EXPECT_EQ(d.Feed(DisplaySet(0, ds::kModeChange, c.depth, 0, c.entries, c.withClut)), 10000u);
    EXPECT_EQ(Shown(d.fb), c.expected);
  }
}

TEST(DvbsubInterop, ModeChangeStartsTheCLUTsAfresh) {
  const auto white = std::vector<ds::ClutEntry>{Entry(0, 0, 128, 128, true, false),
                                                Entry(1, 235, 128, 128, true, false)};
  const auto red = std::vector<ds::ClutEntry>{Entry(0, 0, 128, 128, true, false),
                                              Entry(1, 81, 240, 90, true, false)};
  struct Case {
    const char* name;
    int secondState;
    int secondClutVersion;
    uint32_t expected;  // colour of code 1 after the second display set
  };
  const std::vector<Case> cases = {
      {"mode change, CLUT version repeated", ds::kModeChange, 0, kRed},
      {"mode change, CLUT version new", ds::kModeChange, 1, kRed},
      // Within one page instance a repeated version really is a repeat.
      {"acquisition point, CLUT version repeated", ds::kAcquisitionPoint, 0, kWhite},
      {"acquisition point, CLUT version new", ds::kAcquisitionPoint, 1, kRed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    d.Feed(DisplaySet(0, ds::kModeChange, 1, 0, white));
    ASSERT_EQ(Shown(d.fb)[1], kWhite);
    d.Feed(DisplaySet(1, c.secondState, 1, c.secondClutVersion, red));
    EXPECT_EQ(Shown(d.fb)[1], c.expected);
    EXPECT_EQ(d.fb.lockMisuse, 0);
  }
}

}  // namespace interop

// The display set encoder: exact bytes for the segment layouts and the
// shortest run codes, and bitmaps that come back unchanged through the
// decoder.
namespace encoder {

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

}  // namespace encoder
