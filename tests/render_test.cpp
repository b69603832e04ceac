// The screen as the viewer sees it: the subtitle rows drawn pixel for pixel as
// before, the picture placed on framebuffers larger than the box's, and the
// rows each drawing sequence reports as changed.
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
uint64_t ScreenHash(const SimFramebuffer& device, int x0 = 0, int y0 = 0, int w = 720, int h = 576) {
  uint64_t hash = 1469598103934665603ULL;
  for (int y = y0; y < y0 + h; ++y) {
    for (int x = x0; x < x0 + w; ++x) {
      const uint32_t v = device.PixelAt(x, y);
      for (int shift = 0; shift < 32; shift += 8) {
        hash ^= (v >> shift) & 0xFF;
        hash *= 1099511628211ULL;
      }
    }
  }
  return hash;
}

SimFramebuffer::Geometry Sized(int bpp, int xres, int yres, int stridePixels) {
  SimFramebuffer::Geometry g;
  g.bitsPerPixel = bpp;
  g.xres = xres;
  g.yres = yres;
  g.stridePixels = stridePixels;
  return g;
}

// Two subtitle rows with kerning pairs, descenders, accents and italics.
void DrawPage(FrameBuffer* fb, const std::vector<std::pair<const char*, const char*>>& settings,
              int format) {
  Config config;
  for (const auto& kv : settings) config.set(kv.first, kv.second);
  TXTSubtitle txt;
  txt.frameBuffer = fb;
  txt.config = &config;
  txt.videoFormat = format;
  txt.configure(0x889);
  EXPECT_EQ(txt.drawRow("AVATAR To Wy gjpq <italic> \xE9t\xE9", 19), 0);
  EXPECT_EQ(txt.drawRow("Yes, \"quoted\" _slanted_ {|} WAVE", 21), 0);
}

struct LayoutCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> settings;
  int format;
  uint64_t hash32, hash8;
};

const std::vector<LayoutCase>& LayoutCases() {
  static const std::vector<LayoutCase> cases = {
      {"box and outline, centred", {{"UseBackground", "2"}, {"CenterText", "1"}}, 4, 0x77bb3b7410527b78ULL, 0x373c29a1326e1fc8ULL},
      {"box only", {{"UseBackground", "1"}, {"CenterText", "1"}}, 4, 0x336d04cfdaa37593ULL, 0xad2c29524c591a03ULL},
      {"outline only", {{"UseBackground", "0"}, {"CenterText", "1"}}, 4, 0xa6b01dcd36dd3ad4ULL, 0x145d41d68aee70ccULL},
      {"thin outline", {{"UseBackground", "0"}, {"OutlineSize", "1"}}, 4, 0xb5c2338f69b3472bULL, 0xeb2bf78f1dc52213ULL},
      {"box, outline 3", {{"UseBackground", "2"}, {"OutlineSize", "3"}, {"CenterText", "0"}}, 4, 0x79f9d86ac44f1fb3ULL, 0x693bbe12f7d19093ULL},
      {"wide settings, left", {{"UseBackground", "2"}, {"CenterText", "0"}, {"WideFontSize", "34"}}, 16, 0xacf2e4f7f1e6cab0ULL, 0x7902f39e29b3c8b3ULL},
      {"outline off the left edge", {{"UseBackground", "3"}, {"OutlineSize", "1"}, {"StartXPos", "-95"}, {"CenterText", "0"}}, 4, 0x91e0d4eeb7132c17ULL, 0x7c15e42eb60c864cULL},
      {"colours", {{"TextColor", "12345678"}, {"OutlineColor", "9abcdef0"}, {"BackgroundColor", "11223344"}}, 4, 0x508e0255b3b2b223ULL, 0xe2ba6d86f7451e17ULL},
  };
  return cases;
}

TEST(RenderPixels, TeletextRowsAreDrawnAsBefore) {
  for (const LayoutCase& c : LayoutCases()) {
    for (const int bpp : {32, 8}) {
      SimScreen s(Sized(bpp, 720, 576, 768));
      ASSERT_EQ(s.Init(), 0);
      DrawPage(s.fb.get(), c.settings, c.format);
      const uint64_t hash = ScreenHash(s.device);
      EXPECT_EQ(hash, bpp == 32 ? c.hash32 : c.hash8) << c.name << " at " << bpp << " bpp";
    }
  }
}

// Boxes and palette bitmaps, partly off the screen, with transparent pixels.
void DrawBitmaps(FrameBuffer* fb) {
  std::vector<uint8_t> bitmap(300 * 40);
  for (size_t n = 0; n < bitmap.size(); ++n) bitmap[n] = static_cast<uint8_t>((n * 7 + n / 300) % 5);
  for (int i = 0; i < 5; ++i) fb->SetPaletteColor(i, 0x10203040u * static_cast<uint32_t>(i + 1) + 0xFFu);
  fb->Lock();
  fb->FillRect(-10, 500, 800, 30, 0x80808080u);
  fb->FillRect(100, 560, 50, 40, 0x01020304u);
  fb->BlitBitmap(bitmap.data(), 300, 40, 200, 490);
  fb->BlitBitmap(bitmap.data(), 300, 40, 600, 550);
  fb->BlitBitmap(bitmap.data(), 300, 40, -50, -10);
  fb->Unlock();
}

TEST(RenderPixels, BoxesAndBitmapsAreDrawnAsBefore) {
  for (const auto& c : {std::pair<int, uint64_t>{32, 0xccd44767453bb4a3ULL}, {8, 0xeda1cbaa5037a883ULL}}) {
    SimScreen s(Sized(c.first, 720, 576, 768));
    ASSERT_EQ(s.Init(), 0);
    DrawBitmaps(s.fb.get());
    EXPECT_EQ(ScreenHash(s.device), c.second) << c.first << " bpp";
  }
}

}  // namespace
