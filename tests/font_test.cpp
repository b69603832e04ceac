#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "display/frame_buffer.h"
#include "sim/png_writer.h"
#include "support/sim_screen.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr int kSize = 28;

struct TextScreen : SimScreen {
  explicit TextScreen(const SimFramebuffer::Geometry& g = SimFramebuffer::Geometry()) : SimScreen(g) {
    EXPECT_EQ(0, Init());
  }
  int Width(const std::string& text, int size = kSize) {
    int w = 0, h = 0, d = 0;
    fb->GetTextSize(size, text, w, h, d);
    return w;
  }
  std::vector<uint8_t> Memory() const {
    return std::vector<uint8_t>(device.Memory(), device.Memory() + device.MemoryBytes());
  }
  // Painted (non-zero) pixels of rows y0..y1 as (x, y) pairs.
  std::vector<std::pair<int, int>> Painted(int y0 = 0, int y1 = 575) const {
    std::vector<std::pair<int, int>> out;
    for (int y = y0; y <= y1; ++y)
      for (int x = 0; x < 720; ++x)
        if (device.PixelAt(x, y) != 0) out.emplace_back(x, y);
    return out;
  }
  int Leftmost(int y) const {
    for (int x = 0; x < 720; ++x)
      if (device.PixelAt(x, y) != 0) return x;
    return -1;
  }
};

// Draws `a` on one screen and `b` on another and compares the memory.
void ExpectSameDrawing(const std::function<void(FrameBuffer&)>& a,
                       const std::function<void(FrameBuffer&)>& b) {
  TextScreen sa, sb;
  a(*sa.fb);
  b(*sb.fb);
  EXPECT_FALSE(sa.Painted().empty());
  EXPECT_TRUE(sa.Memory() == sb.Memory());
}

TEST(Font, GlyphsAreOneBitBitmapsInThePixelByteOrder) {
  for (int bpp : {32, 8}) {
    SCOPED_TRACE(bpp);
    SimFramebuffer::Geometry g;
    g.bitsPerPixel = bpp;
    TextScreen s(g);
    ASSERT_EQ(0, s.fb->RenderText("I", 100, 100, 600, 0, kSize, 0x11223344));
    // A capital I is a solid bar: the same run of columns on every painted row.
    const auto painted = s.Painted();
    ASSERT_FALSE(painted.empty());
    int left = 720, right = -1, top = 576, bottom = -1;
    for (const auto& [x, y] : painted) {
      left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    }
    EXPECT_EQ(size_t(right - left + 1) * size_t(bottom - top + 1), painted.size());
    EXPECT_GE(bottom - top + 1, 18);  // about the cap height at 28 pixels
    EXPECT_EQ(99, bottom);           // standing on the baseline
    EXPECT_LE(right - left + 1, 6);
    const uint8_t* p = s.device.Memory() + size_t(top) * s.device.Stride() + size_t(left) * s.device.BytesPerPixel();
    if (bpp == 32) {
      EXPECT_EQ(0x33, p[0]);
      EXPECT_EQ(0x22, p[1]);
      EXPECT_EQ(0x11, p[2]);
      EXPECT_EQ(0x44, p[3]);
    } else {
      EXPECT_EQ(0x44, p[0]);
    }
  }
}

TEST(Font, ItalicMarkersDrawASpaceAndShearTheGlyph) {
  TextScreen probe;
  const int space = probe.Width(" ");
  ASSERT_GT(space, 0);
  struct Case {
    const char* marked;
    const char* plain;
  };
  for (const Case& c : std::vector<Case>{{"a<b>c", "a b c"}, {"_x_y", " x y"}, {"<<>", "   "}}) {
    SCOPED_TRACE(c.marked);
    EXPECT_EQ(probe.Width(c.plain), probe.Width(c.marked));
  }
  // A trailing marker draws nothing.
  ExpectSameDrawing([](FrameBuffer& fb) { fb.RenderText("l<", 10, 100, 700, 0, kSize, kWhite); },
                    [](FrameBuffer& fb) { fb.RenderText("l", 10, 100, 700, 0, kSize, kWhite); });
  // Upright again after ">" and after the second "_".
  ExpectSameDrawing([](FrameBuffer& fb) { fb.RenderText("<>l", 10, 100, 700, 0, kSize, kWhite); },
                    [](FrameBuffer& fb) { fb.RenderText("  l", 10, 100, 700, 0, kSize, kWhite); });
  ExpectSameDrawing([](FrameBuffer& fb) { fb.RenderText("__l", 10, 100, 700, 0, kSize, kWhite); },
                    [](FrameBuffer& fb) { fb.RenderText("  l", 10, 100, 700, 0, kSize, kWhite); });

  // The letter l is a vertical bar: in italics each row moves right by
  // trunc(0.2 * height - 0.2 * row), the top row most, the bottom row not.
  TextScreen upright, slanted;
  upright.fb->RenderText(" l", 10, 100, 700, 0, kSize, kWhite);
  slanted.fb->RenderText("<l", 10, 100, 700, 0, kSize, kWhite);
  int top = 576, bottom = -1;
  for (const auto& p : upright.Painted()) top = std::min(top, p.second), bottom = std::max(bottom, p.second);
  const int height = bottom - top + 1;
  ASSERT_GT(height, 15);
  float s = static_cast<float>(height) * 0.2f;
  for (int y = top; y <= bottom; ++y, s -= 0.2f) {
    EXPECT_EQ(upright.Leftmost(y) + static_cast<int>(std::trunc(s)), slanted.Leftmost(y)) << "row " << y;
  }
  EXPECT_EQ(upright.Leftmost(top) + height / 5, slanted.Leftmost(top));
  EXPECT_EQ(upright.Leftmost(bottom), slanted.Leftmost(bottom));
}

TEST(Font, KerningRoundsTowardsMinusInfinity) {
  const std::vector<std::pair<long, int>> cases = {{0, 0}, {-1, -1}, {-64, -1}, {-65, -2}, {63, 0}, {64, 1}, {130, 2}};
  for (const auto& [delta, pixels] : cases) EXPECT_EQ(pixels, FrameBuffer::KerningToPixels(delta)) << delta;
}

TEST(Font, TextNeverLeavesTheScreenOrTheBand) {
  struct Case {
    const char* name;
    int x, y, width, size;
  };
  const std::vector<Case> cases = {
      {"right edge", 690, 100, 720, kSize},   {"left edge", -15, 100, 720, kSize},
      {"top edge", 100, 5, 720, kSize},       {"bottom edge", 100, 590, 720, kSize},
      {"far away", INT_MIN, INT_MAX, INT_MAX, kSize}, {"huge size", -50, 300, INT_MAX, 100000},
      {"negative size", 10, 100, 700, -28},   {"huge width", 700, 100, INT_MAX, kSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextScreen s;
    s.device.Fill(0);
    s.fb->RenderText("Wide Text gjpqy ", c.x, c.y, c.width, 0, c.size, kWhite);
    s.fb->RenderText("Wide Text gjpqy ", c.x, c.y, c.width, 1, c.size, kWhite);
    s.fb->RenderText("Wide Text gjpqy ", c.x, c.y, c.width, 2, c.size, kWhite);
    // The padding beyond column 719 of every row stays untouched.
    for (int y = 0; y < 576; ++y)
      for (int x = 720; x < 768; ++x) ASSERT_EQ(0u, s.device.PixelAt(x, y)) << x << "," << y;
  }
  // Inside a band only its rows receive pixels.
  TextScreen s;
  ASSERT_TRUE(s.fb->AllocBackBuffer(10, 0));
  s.fb->UseBackBuffer(true);
  s.fb->RenderText("Tall glyphs {|}", 0, 20, 720, 0, kSize, kWhite);
  s.fb->CopyBackBuffer(100);
  s.fb->FreeBackBuffer();
  EXPECT_FALSE(s.Painted(100, 109).empty());
  EXPECT_TRUE(s.Painted(0, 99).empty());
  EXPECT_TRUE(s.Painted(110, 575).empty());
}

}  // namespace
