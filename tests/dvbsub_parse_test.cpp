// Walking packets and segments into pages, regions, CLUTs and placements.

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

struct Context {
  subtitle_context ctx;
  ~Context() { subtitle_free_pages(&ctx); }
  void Feed(const Bytes& packet) { subtitle_process_pes(&ctx, packet.data(), packet.size()); }
  subtitle_page* Page(int id) { return subtitle_find_page(&ctx, id); }
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

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

std::vector<int> RefIds(const subtitle_page* page) {
  std::vector<int> ids;
  for (const subtitle_page_region* r = page->regionRefs; r != nullptr; r = r->next)
    ids.push_back(r->regionId);
  return ids;
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

TEST(DvbsubParse, PageCompositionVersionsAndStates) {
  struct Step {
    int version;
    int state;
    std::vector<int> ids;
    std::vector<int> expectRefs;
    int expectPending;
    int expectTimeOut;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"acquisition then repeat ignored",
       {{0, 1, {1, 2}, {1, 2}, 1, 0}, {0, 1, {3}, {1, 2}, 0, 0}}},
      {"normal case appends", {{0, 1, {1, 2}, {1, 2}, 1, 0}, {1, 0, {1, 2}, {1, 2, 1, 2}, 0, 1}}},
      {"state 3 appends as normal", {{0, 1, {1}, {1}, 1, 0}, {1, 3, {2}, {1, 2}, 0, 1}}},
      {"mode change replaces", {{0, 1, {1, 2}, {1, 2}, 1, 0}, {2, 2, {5}, {5}, 1, 2}}},
      {"repeat of version in mode change ignored",
       {{4, 2, {7}, {7}, 1, 4}, {4, 2, {8, 9}, {7}, 0, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Context t;
    for (const Step& s : c.steps) {
      std::vector<ds::RegionRef> refs;
      for (int id : s.ids) refs.push_back({id, 10 * id, 400 + id});
      t.ctx.redrawPending = 0;
      t.Feed(Pes(Cat({{0x20, 0x00}, PageSeg(3, s.version, s.state, refs, s.version)})));
      ASSERT_NE(t.Page(3), nullptr);
      EXPECT_EQ(RefIds(t.Page(3)), s.expectRefs);
      EXPECT_EQ(t.ctx.redrawPending, s.expectPending);
      EXPECT_EQ(t.Page(3)->pageTimeOut, s.expectTimeOut);
    }
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
