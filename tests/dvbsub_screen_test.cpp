// The DVB decoder drawing through the real FrameBuffer onto the simulated
// framebuffer, at 32 and at 8 bits per pixel: what lands in screen memory.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "dvbsub/dvb_subtitle.h"
#include "support/sim_screen.h"
#include "tsgen/dvbsub_encoder.h"

namespace ds = tsgen::dvbsub;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kY3 = 160;  // CLUT entry 3: grey, half transparent

// Page 1: region 1 at (50, 420), 100 x 4, filled with raw code 3, holding an
// object of codes 3 and 0; region 2 at (680, 500), 100 x 6 wide, which the
// screen cuts at column 719, filled with raw code 2.
ds::DisplaySet Scene() {
  ds::DisplaySet set(1);
  set.Page({7, 0, ds::kAcquisitionPoint, {{1, 50, 420}, {2, 680, 500}}});
  ds::ClutDefinition clut{0, 0, {}};
  const uint8_t ys[4] = {0, 235, 16, kY3};
  for (int k = 0; k < 4; ++k) {
    ds::ClutEntry e;
    e.id = k;
    e.y = ys[k];
    e.t = k == 3 ? 0x40 : 0;
    clut.entries.push_back(e);
  }
  set.Clut(clut);
  ds::RegionComposition r1;
  r1.regionId = 1;
  r1.width = 100;
  r1.height = 4;
  r1.fill = true;
  r1.code4 = 3;
  r1.objects = {{9, 0, 0, 10, 0}};
  set.Region(r1);
  ds::RegionComposition r2 = r1;
  r2.regionId = 2;
  r2.height = 6;
  r2.code4 = 2;
  r2.objects.clear();
  set.Region(r2);
  Bytes codes(40 * 4);
  for (int i = 0; i < 40 * 4; ++i) codes[i] = (i % 40) < 20 ? 3 : 0;
  set.Object(ds::ObjectFromBitmap(9, codes, 40, 4, 4));
  set.End();
  return set;
}

uint32_t Feed(DVBSubtitle& dvb, const Bytes& bytes) {
  Bytes copy = bytes;
  return dvb.processPES(PESPacket{0, copy.data(), static_cast<uint32_t>(copy.size())});
}

// Bytes of the stride padding (columns 720 on) that are not 0.
int PaddingSet(const SimFramebuffer& dev) {
  int n = 0;
  for (int y = 0; y < dev.Height(); ++y) {
    const uint8_t* row = dev.Memory() + static_cast<size_t>(y) * dev.Stride();
    for (int i = 720 * dev.BytesPerPixel(); i < dev.Stride(); ++i) n += row[i] != 0;
  }
  return n;
}

}  // namespace

TEST(DvbsubScreen, DisplaySetLandsInScreenMemory) {
  const uint8_t grey[4] = {kY3, 128, 128, 0x40};
  const uint8_t black[4] = {16, 128, 128, 0};
  struct Case {
    int bpp;
    uint32_t fill3, decoded3, decoded0, fill2;
  };
  const std::vector<Case> cases = {
      {32, subtitle_ycrcb_to_colour(grey), subtitle_ycrcb_to_colour(grey), 0,
       subtitle_ycrcb_to_colour(black)},
      {8, 3, 0xF3, 0xF0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bpp) + " bpp");
    SimScreen screen(c.bpp == 8 ? Geometry8() : SimFramebuffer::Geometry());
    ASSERT_EQ(screen.Init(), 0);
    Config config;
    DVBSubtitle dvb;
    dvb.config = &config;
    dvb.frameBuffer = screen.fb.get();
    dvb.configure();
    LogCapture capture;
    EXPECT_EQ(Feed(dvb, Scene().Packet(0)), 7000u);
    const SimFramebuffer& dev = screen.device;
    EXPECT_EQ(dev.PixelAt(50, 420), c.fill3);     // raw fill code 3
    EXPECT_EQ(dev.PixelAt(60, 423), c.decoded3);  // decoded 0xF3
    EXPECT_EQ(dev.PixelAt(85, 421), c.decoded0);  // decoded 0xF0: CLUT entry 0
    EXPECT_EQ(dev.PixelAt(149, 423), c.fill3);
    EXPECT_EQ(dev.PixelAt(150, 423), 0u);
    EXPECT_EQ(dev.PixelAt(680, 500), c.fill2);
    EXPECT_EQ(dev.PixelAt(719, 505), c.fill2);
    EXPECT_EQ(dev.PixelAt(719, 506), 0u);
    // The region cut at the right edge stays out of the stride padding, and
    // the decoder did the cutting itself.
    EXPECT_EQ(PaddingSet(dev), 0);
    EXPECT_NE(capture.Text().find("BlitBitmap: w=40, h=6, xpos=680, ypos=500"), std::string::npos);
    EXPECT_EQ(capture.Text().find("clipped"), std::string::npos);

    // The display time runs out: the rows 420 to 505 are blanked across the
    // full width, the rest of the screen stays as it was.
    screen.fb->FillRect(0, 419, 10, 1, 0x203040FF);
    screen.fb->FillRect(0, 506, 10, 1, 0x203040FF);
    dvb.clear(0);
    for (int y = 420; y < 506; ++y) {
      for (int x = 0; x < 720; x += 7) ASSERT_EQ(dev.PixelAt(x, y), 0u) << x << "," << y;
    }
    EXPECT_NE(dev.PixelAt(5, 419), 0u);
    EXPECT_NE(dev.PixelAt(5, 506), 0u);
    dvb.stop();
  }
}

TEST(DvbsubScreen, AMessageOnScreenKeepsTheDecoderOff) {
  for (int bpp : {32, 8}) {
    SCOPED_TRACE(std::to_string(bpp) + " bpp");
    SimScreen screen(bpp == 8 ? Geometry8() : SimFramebuffer::Geometry());
    ASSERT_EQ(screen.Init(), 0);
    DVBSubtitle dvb;
    dvb.frameBuffer = screen.fb.get();
    dvb.configure();
    Feed(dvb, Scene().Packet(0));
    const uint32_t drawn = screen.device.PixelAt(50, 420);
    ASSERT_NE(drawn, 0u);
    // A message line across the top of the screen, as the main thread draws it.
    screen.fb->FillRect(0, 15, 720, 40, 0xFFFFFFFF);
    dvb.clear(0);
    EXPECT_EQ(screen.device.PixelAt(50, 420), drawn);  // not cleared
    ds::DisplaySet next(1);
    next.Page({7, 1, ds::kAcquisitionPoint, {{2, 300, 300}}}).End();
    Feed(dvb, next.Packet(0));
    EXPECT_EQ(screen.device.PixelAt(300, 300), 0u);  // not drawn
    // Stopping does not wipe the message either.
    dvb.stop();
    EXPECT_NE(screen.device.PixelAt(360, 30), 0u);
    EXPECT_EQ(screen.device.PixelAt(50, 420), drawn);
  }
}
