#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "display/frame_buffer.h"
#include "support/sim_screen.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr int kSize = 28;

struct TextScreen : SimScreen {
  explicit TextScreen(int bpp = 32) : SimScreen(Depth(bpp)) { EXPECT_EQ(0, Init()); }
  static SimFramebuffer::Geometry Depth(int bpp) {
    SimFramebuffer::Geometry g;
    g.bitsPerPixel = bpp;
    return g;
  }
  TextScreen& Draw(const char* text, int x = 10, int y = 100) {
    fb->RenderText(text, x, y, 700, 0, kSize, kWhite);
    return *this;
  }
  int Width(const std::string& text) {
    int w = 0, h = 0, d = 0;
    fb->GetTextSize(kSize, text, w, h, d);
    return w;
  }
  // Something drawn, and drawn as on `o`.
  bool Same(const TextScreen& o) const {
    const uint8_t* m = device.Memory();
    return Painted(0, 575) > 0 && std::equal(m, m + device.MemoryBytes(), o.device.Memory());
  }
  int Leftmost(int y) const {
    for (int x = 0; x < 720; ++x)
      if (device.PixelAt(x, y) != 0) return x;
    return -1;
  }
  // Painted pixels of rows y0..y1, and their bounds: left, right, top, bottom.
  int Painted(int y0, int y1, int bounds[4] = nullptr) const {
    int n = 0, b[4] = {720, -1, 576, -1};
    for (int y = y0; y <= y1; ++y) {
      for (int x = 0; x < 720; ++x) {
        if (device.PixelAt(x, y) == 0) continue;
        ++n;
        b[0] = std::min(b[0], x), b[1] = std::max(b[1], x);
        b[2] = std::min(b[2], y), b[3] = std::max(b[3], y);
      }
    }
    if (bounds != nullptr) std::copy(b, b + 4, bounds);
    return n;
  }
};

TEST(Font, GlyphsAreOneBitBitmapsInThePixelByteOrder) {
  for (int bpp : {32, 8}) {
    SCOPED_TRACE(bpp);
    TextScreen s(bpp);
    ASSERT_EQ(0, s.fb->RenderText("I", 100, 100, 600, 0, kSize, 0x11223344));
    // A capital I is a solid bar standing on the baseline, about the cap
    // height tall, painted in one colour.
    int b[4];
    const int n = s.Painted(0, 575, b);
    EXPECT_EQ((b[1] - b[0] + 1) * (b[3] - b[2] + 1), n);
    EXPECT_GE(b[3] - b[2] + 1, 18);
    EXPECT_EQ(99, b[3]);
    EXPECT_LE(b[1] - b[0] + 1, 6);
    const uint8_t* p = s.device.Memory() + b[2] * s.device.Stride() + b[0] * (bpp / 8);
    const std::vector<uint8_t> bytes = {0x33, 0x22, 0x11, 0x44};
    EXPECT_EQ(std::vector<uint8_t>(p, p + bpp / 8), bpp == 32 ? bytes : std::vector<uint8_t>{0x44});
  }
}

// "<" and ">", and a pair of "_", turn italics on and off; each marker takes
// the room of a space.
TEST(Font, ItalicMarkersDrawASpaceAndShearTheGlyph) {
  TextScreen probe;
  for (const auto& [marked, plain] : std::vector<std::pair<const char*, const char*>>{
           {"a<b>c", "a b c"}, {"_x_y", " x y"}, {"<<>", "   "}}) {
    EXPECT_EQ(probe.Width(plain), probe.Width(marked)) << marked;
  }
  EXPECT_TRUE(TextScreen().Draw("l<").Same(TextScreen().Draw("l")));
  EXPECT_TRUE(TextScreen().Draw("<>l").Same(TextScreen().Draw("  l")));
  EXPECT_TRUE(TextScreen().Draw("__l").Same(TextScreen().Draw("  l")));

  // The letter l is a vertical bar: in italics each row moves right by
  // trunc(0.2 * height - 0.2 * row), the top row most, the bottom row not.
  TextScreen upright, slanted;
  upright.Draw(" l");
  slanted.Draw("<l");
  int b[4];
  upright.Painted(0, 575, b);
  const int height = b[3] - b[2] + 1;
  ASSERT_GT(height, 15);
  float s = static_cast<float>(height) * 0.2f;
  for (int y = b[2]; y <= b[3]; ++y, s -= 0.2f)
    EXPECT_EQ(upright.Leftmost(y) + static_cast<int>(std::trunc(s)), slanted.Leftmost(y)) << y;
  EXPECT_EQ(upright.Leftmost(b[2]) + height / 5, slanted.Leftmost(b[2]));
}

TEST(Font, KerningRoundsTowardsMinusInfinity) {
  const std::vector<std::pair<long, int>> cases = {{0, 0},   {-1, -1}, {-64, -1}, {-65, -2},
                                                   {63, 0},  {64, 1},  {130, 2}};
  for (const auto& [delta, px] : cases) EXPECT_EQ(px, FrameBuffer::KerningToPixels(delta)) << delta;
}

TEST(Font, TextNeverLeavesTheScreenOrTheBand) {
  struct Case {
    int x, y, width, size;
  };
  const std::vector<Case> cases = {
      {690, 100, 720, kSize}, {-15, 100, 720, kSize},         {100, 5, 720, kSize},
      {100, 590, 720, kSize}, {INT_MIN, INT_MAX, INT_MAX, kSize}, {-50, 300, INT_MAX, 100000},
      {10, 100, 700, -28},    {700, 100, INT_MAX, kSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << "," << c.width << "," << c.size);
    TextScreen s;
    for (int align = 0; align < 3; ++align)
      s.fb->RenderText("Wide Text gjpqy ", c.x, c.y, c.width, align, c.size, kWhite);
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
  EXPECT_GT(s.Painted(100, 109), 0);
  EXPECT_EQ(s.Painted(0, 99) + s.Painted(110, 575), 0);
}

}  // namespace
