// The screen as the viewer sees it: drawn pixel for pixel as before, placed on
// larger framebuffers, and the rows each drawing sequence changed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "display/frame_buffer.h"
#include "support/sim_screen.h"
#include "teletext/txt_subtitle.h"

namespace {

// FNV-1a over the pixel values of the 720 x 576 screen, read as numbers so
// that the result is the same on either byte order.
uint64_t ScreenHash(const SimFramebuffer& device) {
  uint64_t hash = 1469598103934665603ULL;
  for (int n = 0; n < 720 * 576 * 4; ++n) {
    hash ^= (device.PixelAt(n / 4 % 720, n / 4 / 720) >> (n % 4 * 8)) & 0xFF;
    hash *= 1099511628211ULL;
  }
  return hash;
}

struct LayoutCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> settings;
  int format;
  uint64_t hash32, hash8;  // recorded from the drawing code before it was made faster
};

TEST(RenderPixels, ScreensAreDrawnAsBefore) {
  const std::vector<LayoutCase> cases = {
      {"box and outline, centred", {{"UseBackground", "2"}, {"CenterText", "1"}}, 4, 0x77bb3b7410527b78ULL, 0x373c29a1326e1fc8ULL},
      {"box only", {{"UseBackground", "1"}, {"CenterText", "1"}}, 4, 0x336d04cfdaa37593ULL, 0xad2c29524c591a03ULL},
      {"outline only", {{"UseBackground", "0"}, {"CenterText", "1"}}, 4, 0xa6b01dcd36dd3ad4ULL, 0x145d41d68aee70ccULL},
      {"thin outline", {{"UseBackground", "0"}, {"OutlineSize", "1"}}, 4, 0xb5c2338f69b3472bULL, 0xeb2bf78f1dc52213ULL},
      {"box, outline 3", {{"UseBackground", "2"}, {"OutlineSize", "3"}, {"CenterText", "0"}}, 4, 0x79f9d86ac44f1fb3ULL, 0x693bbe12f7d19093ULL},
      {"wide settings, left", {{"UseBackground", "2"}, {"CenterText", "0"}, {"WideFontSize", "34"}}, 16, 0xacf2e4f7f1e6cab0ULL, 0x7902f39e29b3c8b3ULL},
      {"outline off the left edge", {{"UseBackground", "3"}, {"OutlineSize", "1"}, {"StartXPos", "-95"}, {"CenterText", "0"}}, 4, 0x91e0d4eeb7132c17ULL, 0x7c15e42eb60c864cULL},
      {"colours", {{"TextColor", "12345678"}, {"OutlineColor", "9abcdef0"}, {"BackgroundColor", "11223344"}}, 4, 0x508e0255b3b2b223ULL, 0xe2ba6d86f7451e17ULL},
  };
  for (const LayoutCase& c : cases) {
    for (const int bpp : {32, 8}) {
      SimScreen s(SimFramebuffer::Geometry{bpp, 720, 576, 768});
      ASSERT_EQ(s.Init(), 0);
      Config config;
      for (const auto& kv : c.settings) config.set(kv.first, kv.second);
      TXTSubtitle txt;
      txt.frameBuffer = s.fb.get();
      txt.config = &config;
      txt.videoFormat = c.format;
      txt.configure(0x889);
      // Two rows with kerning pairs, descenders, accents and italics.
      EXPECT_EQ(txt.drawRow("AVATAR To Wy gjpq <italic> \xE9t\xE9", 19), 0);
      EXPECT_EQ(txt.drawRow("Yes, \"quoted\" _slanted_ {|} WAVE", 21), 0);
      EXPECT_EQ(ScreenHash(s.device), bpp == 32 ? c.hash32 : c.hash8) << c.name << " at " << bpp;
    }
  }
}

// Coloured boxes touching the edges and a thin bar, so that an error in the
// scale or the centring moves some edge. FillRect(x, y, w, h) covers columns
// x..x+w.
uint32_t ModelPixel(int x, int y) {
  if (y < 10) return 0xFF0000FFu;                                      // red along the top
  if (y >= 570 && x <= 700) return 0x12345680u;                        // along the bottom
  if (x >= 700) return 0x00FF00FFu;                                    // green at the right
  if (x >= 100 && x < 103 && y >= 200 && y < 260) return 0x0000FFFFu;  // thin blue bar
  return 0;
}

void DrawModel(FrameBuffer* fb) {
  fb->Lock();
  fb->FillRect(0, 0, 720, 10, 0xFF0000FFu);
  fb->FillRect(700, 10, 20, 566, 0x00FF00FFu);
  fb->FillRect(0, 570, 700, 6, 0x12345680u);
  fb->Unlock();
  // A second sequence places only the rows it changed: a device row lost at
  // either end of them shows as a gap in the bar.
  fb->Lock();
  fb->FillRect(100, 200, 2, 60, 0x0000FFFFu);
  fb->Unlock();
}

// A colour as the device stores it.
uint32_t AsDevice(uint32_t colour, int bpp) {
  if (bpp == 8) return colour & 0xFF;
  if (bpp == 32) return colour;
  if ((colour & 0xFF) == 0) return 0;
  return ((colour >> 27) & 0x1F) << 11 | ((colour >> 18) & 0x3F) << 5 | ((colour >> 11) & 0x1F);
}

TEST(RenderPlacement, ScreenIsScaledToTheDeviceHeightAndCentred) {
  struct Case { int xres, yres, bpp; FrameBuffer::Placement want; };
  const std::vector<Case> cases = {
      {1920, 1080, 32, {285, 0, 1350, 1080, true}}, {1920, 1080, 16, {285, 0, 1350, 1080, true}},
      {1920, 1080, 8, {285, 0, 1350, 1080, true}},  {1280, 720, 32, {190, 0, 900, 720, true}},
      {1280, 720, 16, {190, 0, 900, 720, true}},    {1280, 720, 8, {190, 0, 900, 720, true}},
      {720, 576, 16, {0, 0, 720, 576, true}},       {720, 576, 32, {0, 0, 0, 0, false}},
      {720, 576, 8, {0, 0, 0, 0, false}},           {1024, 1600, 32, {0, 390, 1024, 819, true}},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.xres) + "x" + std::to_string(c.yres) + "@" + std::to_string(c.bpp);
    SimScreen s(SimFramebuffer::Geometry{c.bpp, c.xres, c.yres, c.xres + 32});
    s.device.Fill(0xAB);
    ASSERT_EQ(s.Init(), 0) << name;
    EXPECT_EQ(s.fb->GetBitsPerPixel(), c.bpp == 8 ? 8 : 32) << name;
    DrawModel(s.fb.get());
    const FrameBuffer::Placement at = c.want.scaled ? c.want : FrameBuffer::Placement{0, 0, 720, 576, false};
    int wrong = 0;
    const uint32_t untouched = c.bpp == 8 ? 0xABu : c.bpp == 16 ? 0xABABu : 0xABABABABu;
    for (int y = 0; y < c.yres; ++y) {
      for (int x = 0; x < c.xres; ++x) {
        const bool inside = x >= at.x && x < at.x + at.width && y >= at.y && y < at.y + at.height;
        const uint32_t model = inside ? ModelPixel((x - at.x) * 720 / at.width, (y - at.y) * 576 / at.height) : 0;
        // On the box's own screen nothing but the boxes is written.
        const uint32_t want = inside && (c.want.scaled || model != 0) ? AsDevice(model, c.bpp) : untouched;
        if (s.device.PixelAt(x, y) != want && ++wrong <= 3) ADD_FAILURE() << name << " at " << x << "," << y;
      }
    }
  }
}

}  // namespace
