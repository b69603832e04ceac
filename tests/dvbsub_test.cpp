// The DVB subtitle decoder: packets and segments into pages, regions and
// CLUTs, pixel strings into lines, pages onto the screen, and streams laid out
// the way common encoders write them.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "dvbsub/dvb_subtitle.h"
#include "dvbsub/subtitle_context.h"
#include "support/dvbsub_screen.h"
#include "tsgen/dvbsub_encoder.h"
#include "tsgen/pes.h"

namespace {

namespace ds = tsgen::dvbsub;
using Bytes = std::vector<uint8_t>;

Bytes Repeat(int n, uint8_t v) { return Bytes(static_cast<size_t>(n), v); }

// A PES packet around raw payload bytes (no PTS).
Bytes Pes(const Bytes& payload) { return tsgen::BuildPES(0xBD, -1, payload, 0); }
// One holding the data identifier, the stream id and `segments`.
Bytes Segments(std::initializer_list<Bytes> segments) {
  return Pes(Cat({{0x20, 0x00}, Cat(segments)}));
}

Bytes PageSeg(int pageId, std::vector<ds::RegionRef> refs = {}) {
  return ds::EncodePageComposition(pageId, {5, 0, ds::kAcquisitionPoint, std::move(refs)});
}

ds::RegionComposition Region(int id, int width, int height, int depth = 2) {
  ds::RegionComposition rc;
  rc.regionId = id;
  rc.width = width;
  rc.height = height;
  rc.depth = depth;
  return rc;
}

struct Context : SubtitleScreen {
  explicit Context(bool screen = false) : SubtitleScreen(screen) {}
  subtitle_page* Page(int id = 1) { return subtitle_find_page(&ctx, id); }
  subtitle_region* Find(int id) { return subtitle_find_region(Page(), id); }

  // An acquisition point of page 1 with one filled region at a new version:
  // x, y, width, height, 4-bit fill code.
  void Show(const std::array<int, 5>& r, int timeOut = 5) {
    ds::DisplaySet set(1);
    set.Page({timeOut, version++, ds::kAcquisitionPoint, {{1, r[0], r[1]}}});
    ds::RegionComposition rc = Region(1, r[2], r[3]);
    rc.version = version;
    rc.fill = r[4] != 0;
    rc.code4 = r[4];
    Feed(set.Region(rc).End().Packet(-1));
  }
  int version = 0;
};

TEST(DvbsubParse, ClutEntries) {
  struct Case {
    const char* name;
    std::vector<ds::ClutEntry> entries;  // id, for2, for4, for8, full range, Y, Cr, Cb, T
    int count;
    int id;
    Bytes expect;  // Y, Cr, Cb, T of entry `id`
  };
  const std::vector<Case> cases = {
      {"reduced all ones", {{2, 0, 1, 0, 0, 255, 255, 255, 255}}, 1, 2, {252, 240, 240, 192}},
      {"reduced mixed", {{3, 0, 1, 0, 0, 0x84, 0x50, 0xA0, 0x40}}, 1, 3, {0x84, 0x50, 0xA0, 0x40}},
      {"8-bit only skipped", {{1, 0, 0, 1, 1, 50, 60, 70, 80}}, 0, 1, {0, 0, 0, 0}},
      {"id 16 skipped, next stored", {{16, 0, 1, 0, 1, 1, 2, 3, 4}, {0, 0, 1, 0, 1, 9, 9, 9, 9}},
       1, 0, {9, 9, 9, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Context t;
    t.Feed(Segments({PageSeg(1), ds::EncodeClutDefinition(1, {2, 0, c.entries})}));
    subtitle_clut* clut = subtitle_find_clut(t.Page(), 2);
    ASSERT_NE(clut, nullptr);
    EXPECT_EQ(clut->count, c.count);
    EXPECT_EQ(Bytes(clut->entries[c.id], clut->entries[c.id] + 4), c.expect);
  }
}

// The fill follows the depth; a size the screen cannot show is refused, once,
// and parsing goes on with the next segment; the memory regions take is bounded.
TEST(DvbsubParse, RegionDefinitions) {
  struct Case {
    const char* name;
    int width, height, depth;
    bool fill;
    int expect;  // every pixel, -1 for a refused region
    std::string log;
  };
  const std::string badDepth = "ZUVA: ERROR: Invalid depth for region.\n";
  const std::vector<Case> cases = {
      {"no fill", 30, 7, 2, false, 0, ""},
      {"2-bit", 30, 7, 1, true, 3, ""},
      {"4-bit", 30, 7, 2, true, 9, ""},
      {"8-bit", 30, 7, 3, true, 0x77, ""},
      {"invalid depth", 30, 7, 0, true, 0, badDepth},
      {"whole screen", 720, 576, 2, true, 9, ""},
      {"too wide", 721, 10, 2, true, -1, "ZUVA: ERROR: Region 4 of 721x10 refused.\n"},
      {"too high", 10, 577, 2, true, -1, "ZUVA: ERROR: Region 4 of 10x577 refused.\n"},
      {"no width", 0, 10, 2, true, -1, "ZUVA: ERROR: Region 4 of 0x10 refused.\n"},
      {"no height", 10, 0, 2, true, -1, "ZUVA: ERROR: Region 4 of 10x0 refused.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ds::RegionComposition rc = Region(4, c.width, c.height, c.depth);
    rc.fill = c.fill;
    rc.code8 = 0x77;
    rc.code4 = 9;
    rc.code2 = 3;
    rc.clutId = 6;
    const Bytes region = ds::EncodeRegionComposition(1, rc);
    Context t;
    LogCapture capture;
    t.Feed(Segments({PageSeg(1), region, PageSeg(2)}));
    EXPECT_EQ(capture.Text(), c.log);
    EXPECT_NE(t.Page(2), nullptr);
    subtitle_region* r = t.Find(4);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->clutId, 6);
    ASSERT_EQ(r->pixels == nullptr, c.expect < 0);
    for (int i = 0; c.expect >= 0 && i < c.width * c.height; ++i) ASSERT_EQ(r->pixels[i], c.expect);
    // A repeat of the same version says nothing more.
    capture.Clear();
    t.Feed(Segments({region}));
    EXPECT_EQ(capture.Text(), "");
  }
  // Regions together hold at most kSubtitleMaxRegionBytes, until the pages go.
  Context t;
  t.Feed(Segments({PageSeg(1)}));
  LogCapture capture;
  for (int id = 0; id < 17; ++id)
    t.Feed(Segments({ds::EncodeRegionComposition(1, Region(id, 720, 576))}));
  EXPECT_NE(t.Find(15)->pixels, nullptr);
  EXPECT_EQ(t.Find(16)->pixels, nullptr);
  EXPECT_EQ(t.ctx.regionBytes, kSubtitleMaxRegionBytes);
  subtitle_free_pages(&t.ctx);
  EXPECT_EQ(t.ctx.regionBytes, 0u);
}

TEST(DvbsubParse, PacketFramingAndTrailingData) {
  const Bytes page = PageSeg(1, {{1, 10, 20}});
  Bytes longSeg = page;
  longSeg[5] += 1;  // declared one byte longer than the packet holds
  const std::string strange = "ZUVA: ERROR: Strange data at the end\n";
  const std::string pes = "ZUVA: subtitle_process_pes: ";
  // A region whose object entry lacks its two pixel-code bytes.
  ds::RegionComposition rc = Region(1, 4, 4);
  rc.objects = {{7, 1, 0, 1, 1, 0, 0}};
  Bytes cut = ds::EncodeRegionComposition(1, rc);
  cut.resize(cut.size() - 2);
  cut[5] -= 2;
  struct Case {
    const char* name;
    Bytes packet;
    std::string log;
    int page;  // that must be parsed, 0 for none
  };
  const std::vector<Case> cases = {
      {"ends after last segment", Segments({page}), "", 1},
      {"end marker", Segments({page, {0xFF}}), "", 1},
      {"other trailing byte", Segments({page, {0x00}}), strange, 1},
      {"data identifier 0x21", Pes(Cat({{0x21, 0x00}, page})),
       "ZUVA: ERROR: Data identifier is 0x21, but not 0x20\n", 0},
      {"only identifiers", Pes({0x20, 0x00}), "ZUVA: ERROR: No data left (0)\n", 0},
      // A short packet of another stream is named by its start code or stream id.
      {"start code 01", {0x01, 0x00, 0x01, 0xBD}, pes + "invalid startcode 01 00 01\n", 0},
      {"start code 00 02", {0x00, 0x02, 0x01}, pes + "invalid startcode 00 02 01\n", 0},
      {"start code 00 00 02", {0x00, 0x00, 0x02, 0xBD, 0x00, 0x00},
       pes + "invalid startcode 00 00 02\n", 0},
      {"audio stream", {0x00, 0x00, 0x01, 0xC0, 0x00}, pes + "invalid stream_id c0\n", 0},
      {"two bytes", {0x00, 0x01}, "ZUVA: ERROR: No data left (-9)\n", 0},
      {"shorter than its header", {0x00, 0x00, 0x01, 0xBD, 0x00, 0x05, 0x84, 0x80, 0x05, 0x21},
       "ZUVA: ERROR: No data left (-6)\n", 0},
      {"segment longer than packet", Segments({longSeg}), strange, 0},
      {"cut segment header", Segments({{0x0F, 0x10, 0x00}}), strange, 0},
      {"page with a stray byte", Segments({ds::Segment(0x10, 1, {5, 4, 1, 0, 0, 10, 0, 20, 0xAA})}),
       "ZUVA: 14 != 9\n", 1},
      {"more region references than kept",
       Segments({PageSeg(1, std::vector<ds::RegionRef>(1025, {1, 0, 0}))}),
       "ZUVA: ERROR: Page 1 holds 1024 region references, further ones dropped.\n", 1},
      {"end of display set without a screen", Segments({page, ds::EncodeEndOfDisplaySet(1)}), "",
       1},
      // It reads on into the next segment, which is still parsed from its start.
      {"object entry cut short", Segments({PageSeg(1), cut, PageSeg(2)}),
       "ZUVA: ERROR: Not enough data! (" + std::to_string(cut[5]) + " < " +
           std::to_string(cut[5] + 2) + ")\n",
       2},
      {"stuffing skipped", Segments({ds::Segment(0xFF, 1, {1, 2, 3}), page}), "", 1},
      {"character-coded object skipped",
       Segments({page, ds::Segment(0x13, 1, {0, 1, 0x04, 0x02, 0x41}), page}),
       "ZUVA: ERROR: object_coding_method 1 (strings?) is not implemented!\n", 1},
      {"object too short for its field lengths",
       Segments({page, ds::Segment(0x13, 1, {0x00, 0x05, 0x00, 0x00})}),
       "ZUVA: ERROR: Object 5: segment of 4 bytes has no field lengths.\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Context t;
    t.Feed(c.packet);
    EXPECT_EQ(capture.Text(), c.log);
    EXPECT_EQ(t.Page(std::max(c.page, 1)) != nullptr, c.page != 0);
  }
}

// Runs subtitle_process_pixel_data on one line of one object.
struct LineDecoder {
  subtitle_context ctx;
  subtitle_page page;
  int y = 0;
  int x = 0;
  // Decodes one sub-block held in `bytes` (which ends the data).
  int Run(const Bytes& bytes) {
    const uint8_t* data = bytes.data();
    return subtitle_process_pixel_data(&ctx, &page, 1, y, x, data, data + bytes.size());
  }
  Bytes Line() const { return Bytes(ctx.line, ctx.line + x); }
};

// Each string decodes to its codes through the default 2-to-4 map (0, 7, 8,
// 15), as 0xF0 | code at 4 bits and 0xF0 | code >> 4 at 8 bits. Strings
// marked shortest are also what the encoder the tests build streams with
// writes for those codes.
TEST(DvbsubPixels, CodeStrings) {
  struct Case {
    const char* name;
    Bytes block;
    int result;
    Bytes codes;
    bool shortest;
  };
  const std::vector<Case> cases = {
      {"2: single zero", {0x10, 0x10, 0x00}, 3, {0}, true},
      {"2: two zeros", {0x10, 0x04, 0x00}, 3, {0, 0}, true},
      {"2: two pixels", {0x10, 0x50, 0x00}, 3, {1, 1}, true},
      {"2: run of 11 split", {0x10, 0x3E, 0x80}, 3, Repeat(11, 2), true},
      {"2: run of 27", {0x10, 0x0B, 0xF0, 0x00}, 4, Repeat(27, 3), false},
      {"2: run of 284", {0x10, 0x0F, 0xFD, 0x00}, 4, Repeat(284, 1), true},
      {"4: end mid-byte, stuffing", {0x11, 0x12, 0x30, 0x00}, 4, {1, 2, 3}, true},
      {"4: nine zeros", {0x11, 0x07, 0x00}, 3, Repeat(9, 0), true},
      {"4: ten zeros", {0x11, 0x0E, 0x10, 0x00}, 4, Repeat(10, 0), true},
      {"4: run of 7", {0x11, 0x0B, 0x50, 0x00}, 4, Repeat(7, 5), false},
      {"4: one zero", {0x11, 0x0C, 0x00}, 3, {0}, true},
      {"4: two zeros", {0x11, 0x0D, 0x00}, 3, {0, 0}, true},
      {"4: run of 280", {0x11, 0x0F, 0xFF, 0x10, 0x00}, 5, Repeat(280, 1), true},
      {"8: pair", {0x12, 0x51, 0x51, 0x00, 0x00}, 5, {0x51, 0x51}, true},
      {"8: five zeros", {0x12, 0x00, 0x05, 0x00, 0x00}, 5, Repeat(5, 0), false},
      {"8: run of 3", {0x12, 0x00, 0x83, 0x51, 0x00, 0x00}, 6, Repeat(3, 0x51), true},
      {"8: run of 0", {0x12, 0x00, 0x80, 0x22, 0x00, 0x00}, 6, {}, false},
      // Cut off by the end of the data: decoded up to there.
      {"4: no end code", {0x11, 0x12, 0x34}, 3, {1, 2, 3, 4}, false},
      {"4: run without its code", {0x11, 0x0E}, 2, {}, false},
      {"2: long run cut", {0x10, 0x0F}, 2, {}, false},
      {"8: run without its code", {0x12, 0x00, 0x85}, 3, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int bits = 2 << (c.block[0] - 0x10);
    Bytes pixels;
    for (uint8_t code : c.codes) {
      const int mapped = bits == 2 ? Bytes{0, 7, 8, 15}[code] : bits == 4 ? code : code >> 4;
      pixels.push_back(static_cast<uint8_t>(0xF0 | mapped));
    }
    LineDecoder d;
    EXPECT_EQ(d.Run(c.block), c.result);
    EXPECT_EQ(d.Line(), pixels);
    EXPECT_EQ(d.y, 0);
    if (!c.shortest) continue;
    const auto encode = bits == 2 ? ds::PixelString2 : bits == 4 ? ds::PixelString4
                                                                 : ds::PixelString8;
    EXPECT_EQ(encode(c.codes), c.block);
  }
  // A string that runs past the last column keeps 720 pixels; the next
  // string of the same line is read and dropped.
  LineDecoder d;
  d.x = 700;
  EXPECT_EQ(d.Run({0x11, 0x0F, 0x19, 0x10, 0x00}), 5);  // 50 pixels of code 1
  EXPECT_EQ(d.Run({0x11, 0x12, 0x00}), 3);
  EXPECT_EQ(d.x, 720);
  EXPECT_EQ(Bytes(d.ctx.line + 700, d.ctx.line + 720), Repeat(20, 0xF1));
}

TEST(DvbsubPixels, MapTables) {
  struct Case {
    const char* name;
    std::vector<Bytes> blocks;
    std::vector<int> results;
    Bytes pixels;  // of the line after the last block
    std::vector<int> map;
  };
  const std::vector<Case> cases = {
      {"restored at end of line", {{0x20, 0x01, 0x23}, {0x10, 0x40}, {0xF0}, {0x10, 0x40}},
       {3, 2, 1, 2}, {0xF7}, {0, 7, 8, 15}},
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
    LineDecoder d;
    for (size_t i = 0; i < c.blocks.size(); ++i) EXPECT_EQ(d.Run(c.blocks[i]), c.results[i]) << i;
    EXPECT_EQ(d.Line(), c.pixels);
    EXPECT_EQ(std::vector<int>(d.ctx.mapTable, d.ctx.mapTable + 4), c.map);
  }
}

// Drawn, refused or not, a region counts for the display time: the page's
// time-out capped by the setting (0: no cap), 0 taken as 6 s. A page that
// draws nothing removes the clear time; one that does not exist changes nothing.
TEST(DvbsubDisplay, DisplayTime) {
  struct Case { std::array<int, 5> region; int timeOut, maxShowTime, shownFor; };
  for (const Case& c : {Case{{721, 10, 20, 20, 5}, 10, 5, 5}, {{10, 577, 20, 20, 5}, 3, 5, 3},
                        {{0, 0, 65535, 65535, 5}, 0, 5, 6}, {{720, 10, 20, 20, 5}, 255, 0, 255},
                        {{100, 10, 700, 4, 5}, 0, 0, 6}, {{0, 0, 720, 576, 5}, 9, 9, 9}}) {
    Context s(true);
    s.ctx.maxShowTime = c.maxShowTime;
    s.Show(c.region, c.timeOut);
    EXPECT_EQ(s.ctx.nextPageTimeout, c.shownFor) << c.region[0] << " " << c.timeOut;
  }
  Context s(true);
  s.Feed(Segments({PageSeg(1, {{9, 10, 10}})}));  // region 9 never defined
  s.ctx.nextPageTimeout = 7;
  subtitle_redraw_page(&s.ctx, 77);
  EXPECT_EQ(s.ctx.nextPageTimeout, 7);
  subtitle_redraw_page(&s.ctx, 1);
  EXPECT_EQ(s.ctx.nextPageTimeout, 0);
}

// A display definition places the regions in its display, scaled onto the
// screen axis by axis, cut to its window; one it cannot place safely is
// refused with one line and the screen's display stays. Without one, regions
// are cut at the screen's edges. Neither drawing nor clearing leaves the screen.
TEST(DvbsubDisplay, DisplayDefinitionPlacesRegions) {
  using Dds = ds::DisplayDefinition;
  const Bytes none;
  const auto dds = [](const Dds& d) { return ds::EncodeDisplayDefinition(1, d); };
  const Bytes hd = dds({0, 1920, 1080});
  struct Case {
    const char* name;
    Bytes display;                 // the segment sent before the page, if any
    std::array<int, 4> region;     // x, y, width, height on the display
    std::string log;               // the display's lines
    std::string blit;              // expected call, empty for none
    bool object = false;           // drawn from an object of code 5, not filled
  };
  const std::string sd = "BlitBitmap 100 20 100 500";
  const std::array<int, 4> sdRegion = {100, 500, 100, 20};
  const std::vector<Case> cases = {
      {"no display definition", none, sdRegion, "", sd},
      {"cut at the right", none, {100, 10, 700, 4}, "", "BlitBitmap 620 4 100 10"},
      {"cut at the bottom", none, {0, 550, 10, 50}, "", "BlitBitmap 10 26 0 550"},
      {"whole screen", none, {0, 0, 720, 576}, "", "BlitBitmap 720 576 0 0"},
      {"at the right edge", none, {720, 10, 20, 20}, "", ""},
      {"beyond the bottom", none, {10, 577, 20, 20}, "", ""},
      {"720x576", dds({0, 720, 576}), sdRegion, "", sd},
      {"1920x1080", hd, {720, 1000, 480, 40}, "ZUVA: Display 1920x1080\n",
       "BlitBitmap 180 21 270 534"},
      {"1280x720", dds({0, 1280, 720}), {480, 660, 320, 30}, "ZUVA: Display 1280x720\n",
       "BlitBitmap 180 24 270 528"},
      {"full HD region", hd, {0, 0, 1920, 1080}, "ZUVA: Display 1920x1080\n",
       "BlitBitmap 720 576 0 0"},
      // Object lines as wide as the display are decoded whole, to the right edge.
      {"HD object lines", hd, {0, 0, 1920, 4}, "ZUVA: Display 1920x1080\n", "BlitBitmap 720 3 0 0",
       true},
      {"window", dds({0, 1920, 1080, true, 960, 1919, 540, 1079}), {0, 0, 480, 40},
       "ZUVA: Display 1920x1080, window 960,540 -> 1920,1080\n", "BlitBitmap 180 22 360 288"},
      {"cut by the window", dds({0, 1920, 1080, true, 0, 959, 0, 1079}), {720, 100, 480, 40},
       "ZUVA: Display 1920x1080, window 0,0 -> 960,1080\n", "BlitBitmap 90 21 270 54"},
      {"720x576 window", dds({0, 720, 576, true, 10, 709, 6, 575}), {90, 494, 100, 20},
       "ZUVA: Display 720x576, window 10,6 -> 710,576\n", sd},
      {"beyond the display", hd, {1920, 0, 480, 40}, "ZUVA: Display 1920x1080\n", ""},
      {"HD region on the screen's display", none, {0, 0, 1920, 100},
       "ZUVA: ERROR: Region 1 of 1920x100 refused.\n", ""},
      {"absurd size", dds({0, 65536, 65536}), sdRegion,
       "ZUVA: ERROR: Display of 65536x65536 refused.\n", sd},
      {"window past the display", dds({0, 1920, 1080, true, 0, 1920, 0, 1079}), sdRegion,
       "ZUVA: ERROR: Display window 0..1920 x 0..1079 does not fit the 1920x1080 display.\n", sd},
      {"window upside down", dds({0, 1920, 1080, true, 0, 100, 900, 800}), sdRegion,
       "ZUVA: ERROR: Display window 0..100 x 900..800 does not fit the 1920x1080 display.\n", sd},
      {"window cut off", ds::Segment(0x14, 1, {0x08, 0x07, 0x7F, 0x04, 0x37}), sdRegion,
       "ZUVA: ERROR: Display definition of 5 bytes has no room for its window.\n", sd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Context s(true);
    LogCapture capture;
    ds::RegionComposition rc = Region(1, c.region[2], c.region[3]);
    rc.fill = !c.object;
    rc.code4 = 5;
    if (c.object) rc.objects = {{7, 0, 0, 0, 0, 0, 0}};
    ds::DisplaySet set(1);
    set.Raw(c.display).Page({4, 0, ds::kAcquisitionPoint, {{1, c.region[0], c.region[1]}}});
    set.Region(rc);
    if (c.object) set.Object(ds::ObjectFromBitmap(7, Bytes(1920 * 4, 5), 1920, 4, 4));
    s.Feed(set.End().Packet(-1));
    // The display's line (or the refusal) opens the log; without one none is named.
    const std::string& text = capture.Text();
    EXPECT_EQ(c.log.empty() ? text.find("Display") : text.find(c.log), c.log.empty() ? text.npos : 0);
    EXPECT_EQ(s.fb.CountCalls("BlitBitmap"), c.blit.empty() ? 0 : 1);
    EXPECT_EQ(c.blit.empty() ? "" : s.fb.calls.back(), c.blit);
    // Every pixel of the placed rectangle is the region's, nothing else is.
    int w = 0, h = 0;
    if (!c.blit.empty()) sscanf(c.blit.c_str(), "BlitBitmap %d %d", &w, &h);
    EXPECT_EQ(s.fb.CountSet(), w * h);
    EXPECT_EQ(s.ctx.nextPageTimeout, 4);
    s.fb.Lock();
    subtitle_clear_bbox(&s.ctx);
    s.fb.Unlock();
    EXPECT_EQ(s.fb.offScreen, 0);
    EXPECT_EQ(s.fb.CountSet(), 0);
    // The definition repeated says nothing; released pages take the display
    // back to the screen's.
    capture.Clear();
    if (!c.display.empty()) s.Feed(Segments({c.display}));
    EXPECT_EQ(capture.Text(), "");
    subtitle_free_pages(&s.ctx);
    EXPECT_TRUE(s.ctx.display.IsScreen());
  }
}

// What another program drew in the probed column (every even row, outside
// the box and the daemon's own message line) stops both the clear and the
// drawing.
TEST(DvbsubDisplay, ForeignPixelsStopDrawingAndClearing) {
  struct Case {
    const char* name;
    int x, y;
    bool free;
  };
  const std::vector<Case> cases = {
      {"above the message line", 360, 14, false}, {"the daemon's message line", 360, 30, true},
      {"below the message line", 360, 56, false}, {"odd row is not probed", 360, 57, true},
      {"other column", 359, 60, true},          {"inside the box's rows", 360, 405, true},
      {"last probed row", 360, 574, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Context s(true);
    s.Show({100, 400, 500, 20, 2});  // drawn, box rows 400..420
    s.fb.calls.clear();
    s.fb.SetPixel(c.x, c.y, 0xFFFFFFFF);
    // The box's rows and the message line are ours.
    EXPECT_EQ(subtitle_pixel_is_set(&s.ctx, c.x, c.y), c.y != 405 && c.y != 30);
    s.Show({100, 400, 500, 20, 2});
    EXPECT_EQ(s.fb.CountCalls("FillRect"), c.free ? 1 : 0);
    EXPECT_EQ(s.fb.CountCalls("BlitBitmap"), c.free ? 1 : 0);
    // The box grows all the same, and the display time is worked out.
    EXPECT_EQ(s.ctx.bbox.y0, 400);
    EXPECT_EQ(s.ctx.nextPageTimeout, 5);
  }
}

// The decoder object as the PES filter and decoder control see it.
struct Running {
  LogCapture capture;
  RecordingFrameBuffer fb;
  Config config;
  DVBSubtitle dvb;
  Running() {
    dvb.config = &config;
    dvb.frameBuffer = &fb;
    dvb.configure();
  }
  uint32_t Feed(Bytes bytes) {
    return dvb.processPES(PESPacket{0, bytes.data(), static_cast<uint32_t>(bytes.size())});
  }
};

// Every prefix of a display set, and every byte of it changed, must neither
// read nor write outside the packet and the screen. ASan watches the reads;
// the recording framebuffer counts writes off the screen and lock misuse.
TEST(DvbsubDecoder, TruncatedAndCorruptedPacketsStayInBounds) {
  ds::RegionComposition rc = Region(1, 100, 40);
  // Across the region's lower right corner, at its origin, and right of it.
  rc.objects = {{1, 0, 0, 50, 30}, {1, 1, 0, 0, 0, 1, 2}, {1, 0, 0, 150, 0}};
  const Bytes codes(100 * 20, 5);
  ds::DisplaySet set(1);
  set.Page({5, 0, ds::kAcquisitionPoint, {{1, 650, 540}, {2, 0, 0}}}).Clut({0, 0, {{}}}).Region(rc);
  set.Object(ds::ObjectFromBitmap(1, codes, 100, 20, 2));
  const Bytes packet = set.Object(ds::ObjectFromBitmap(1, codes, 100, 20, 8)).End().Packet(1000);

  Running r;
  for (size_t n = 0; n <= packet.size(); ++n) {
    r.Feed(Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n)));
    r.dvb.configure();
  }
  for (size_t i = 0; i < packet.size(); ++i) {
    for (int v : {0x00, 0x01, 0x0F, 0x7F, 0x80, 0xF0, 0xFF}) {
      Bytes bad = packet;
      bad[i] = static_cast<uint8_t>(v);
      r.Feed(bad);
      r.dvb.clear(0);
      if (i % 16 == 0) r.dvb.configure();
    }
  }
  EXPECT_EQ(r.fb.offScreen, 0);
  EXPECT_EQ(r.fb.lockMisuse, 0);
  EXPECT_EQ(r.fb.unlockedDraws, 0);
  EXPECT_FALSE(r.fb.locked);
}

// Streams laid out the way common encoders write them: every display set a
// mode change that redefines its CLUT at version 0, and regions of 2 bits per
// pixel whose CLUT defines only the four 2-bit entries.
ds::ClutEntry Entry(int id, uint8_t y, uint8_t cr, uint8_t cb, bool for2) {
  return {id, for2, !for2, false, true, y, cr, cb, 0};
}

// One region of 40 x 4 pixels at (100, 200), one object of 2-bit codes: ten
// columns each of codes 0, 1, 2 and 3. The region version follows the page
// version, the CLUT stays at `clutVersion`.
Bytes InteropSet(int version, int state, int depth, int clutVersion,
                 const std::vector<ds::ClutEntry>& entries) {
  ds::DisplaySet set(1);
  set.Page({10, version, state, {{1, 100, 200}}});
  if (!entries.empty()) set.Clut({0, clutVersion, entries});
  ds::RegionComposition rc = Region(1, 40, 4, depth);
  rc.version = version;
  rc.objects = {{1, 0, 0, 0, 0}};
  Bytes codes(40 * 4);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>((i % 40) / 10);
  set.Region(rc).Object(ds::ObjectFromBitmap(1, codes, 40, 4, 2, version));
  return set.End().Packet(-1);
}

// The colours of the columns showing codes 0 to 3.
std::vector<uint32_t> Shown(const RecordingFrameBuffer& fb) {
  return {fb.Pixel(105, 201), fb.Pixel(115, 201), fb.Pixel(125, 201), fb.Pixel(135, 201)};
}

// Y, Cr, Cb 235, 128, 128; 81, 240, 90; 145, 34, 54.
const uint32_t kWhite = 0xFEFEFEFF, kRed = 0xFF1700FF, kGreen = 0x00D800FF;

// The colours of codes 1, 2 and 3 come from the 2-bit entries of the CLUT,
// or from the default 4-bit entries 7, 8 and 15 they map to. A mode change
// starts the CLUTs afresh, so its repeated CLUT version is no repeat. A
// negative cap counts as none; stopping clears what the decoder drew.
TEST(DvbsubInterop, TwoBitRegionsAndModeChanges) {
  const std::vector<ds::ClutEntry> twoBit = {
      Entry(0, 0, 128, 128, true), Entry(1, 235, 128, 128, true), Entry(2, 81, 240, 90, true),
      Entry(3, 145, 34, 54, true)};
  const std::vector<ds::ClutEntry> swapped = {
      Entry(0, 0, 128, 128, true), Entry(1, 81, 240, 90, true), Entry(2, 235, 128, 128, true),
      Entry(3, 145, 34, 54, true)};
  const std::vector<ds::ClutEntry> fourBit = {
      Entry(1, 16, 128, 128, false), Entry(7, 235, 128, 128, false), Entry(8, 81, 240, 90, false),
      Entry(15, 145, 34, 54, false)};
  struct Case {
    const char* name;
    int depth;
    std::vector<ds::ClutEntry> entries;  // none: no CLUT sent
    int secondState, secondClutVersion;  // a second display set with `swapped`, state -1 for none
    std::vector<uint32_t> expected;      // codes 0 to 3
  };
  const std::vector<uint32_t> shown = {0, kWhite, kRed, kGreen};
  const std::vector<uint32_t> swappedShown = {0, kRed, kWhite, kGreen};
  const std::vector<uint32_t> defaults = {0, 0xFFFFFFFF, 0x000000FF, 0x808080FF};
  const std::vector<Case> cases = {
      {"2-bit region, 2-bit CLUT entries", 1, twoBit, -1, 0, shown},
      {"4-bit region, 2-bit codes as entries 7, 8, 15", 2, fourBit, -1, 0, shown},
      {"2-bit region without its CLUT", 1, {}, -1, 0, defaults},
      {"8-bit region, 2-bit codes as 4-bit entries 7, 8, 15", 3, fourBit, -1, 0, shown},
      {"8-bit region without its CLUT", 3, {}, -1, 0, defaults},
      {"mode change, CLUT version repeated", 1, twoBit, ds::kModeChange, 0, swappedShown},
      // Within one page instance a repeated version really is a repeat.
      {"acquisition point, CLUT version repeated", 1, twoBit, ds::kAcquisitionPoint, 0, shown},
      {"acquisition point, CLUT version new", 1, twoBit, ds::kAcquisitionPoint, 1, swappedShown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Running d;
    d.config.set("DVBMaxShowTime", "-3");
    d.dvb.configure();
    EXPECT_NE(d.capture.Text().find("DVBMaxShowTime -3 is negative, no cap used"), std::string::npos);
    EXPECT_EQ(d.Feed(InteropSet(0, ds::kModeChange, c.depth, 0, c.entries)), 10000u);
    if (c.secondState >= 0) d.Feed(InteropSet(1, c.secondState, 1, c.secondClutVersion, swapped));
    EXPECT_EQ(Shown(d.fb), c.expected);
    d.dvb.stop();
    EXPECT_EQ(d.fb.CountSet(), 0);
    EXPECT_EQ(d.fb.lockMisuse, 0);
  }
}

}  // namespace
