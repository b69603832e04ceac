// Drawing pages, clearing what was drawn, probing the screen and working out
// the display time.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "dvbsub/subtitle_context.h"
#include "dvbsub_test_fb.h"
#include "tsgen/dvbsub_encoder.h"

namespace ds = tsgen::dvbsub;
using Bytes = std::vector<uint8_t>;

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

TEST(DvbsubDisplay, ColourConversion) {
  struct Case {
    uint8_t entry[4];
    uint32_t colour;
  };
  const std::vector<Case> cases = {
      {{235, 128, 128, 0}, 0xFEFEFEFF}, {{16, 128, 128, 0}, 0x000000FF},
      {{128, 128, 128, 0x80}, 0x8282827F}, {{0, 200, 30, 0}, 0},
      {{0, 128, 128, 255}, 0},            {{1, 128, 128, 0}, 0x000000FF},
      // Red clamped at 255, green truncated (23.9), blue negative: 0.
      {{81, 240, 90, 0}, 0xFF1700FF},     {{255, 255, 255, 255}, 0xFFB6FF00},
      {{20, 120, 128, 0}, 0x000804FF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(subtitle_ycrcb_to_colour(c.entry), c.colour)
        << int(c.entry[0]) << " " << int(c.entry[1]) << " " << int(c.entry[2]);
  }
}

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
