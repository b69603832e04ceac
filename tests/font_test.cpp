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

TEST(Font, MeasuringMatchesDrawingAndTheRightLimit) {
  TextScreen s;
  const std::string text = "HHHH";
  const int adv = s.Width("H");
  ASSERT_GT(adv, 10);
  EXPECT_EQ(4 * adv, s.Width(text));
  // The last character fits while its advance ends before the limit.
  EXPECT_EQ(0, s.fb->RenderText(text, 0, 100, 4 * adv + 1, 0, kSize, kWhite));
  EXPECT_EQ(-1, s.fb->RenderText(text, 0, 200, 4 * adv, 0, kSize, kWhite));
  // The characters before the one that did not fit stay drawn.
  EXPECT_EQ(-1, s.fb->RenderText(text, 0, 300, 3 * adv, 0, kSize, kWhite));
  TextScreen ref;
  ref.fb->RenderText("HH", 0, 300, 720, 0, kSize, kWhite);
  EXPECT_EQ(ref.Painted(250, 310), s.Painted(250, 310));
}

TEST(Font, SampleMetricsOfTheTeletextLayout) {
  TextScreen s;
  int w = 0, h = 0, d = 0;
  s.fb->GetTextSize(kSize, "[]|{}\\yYjJ", w, h, d);
  // DejaVu Sans at 28 pixels: brackets reach well above the cap height and
  // below the baseline.
  EXPECT_GE(h, 28);
  EXPECT_LE(h, 36);
  EXPECT_GE(d, 5);
  EXPECT_LE(d, 9);
  EXPECT_EQ(w, s.Width("[]|{}\\yYjJ"));
  // Drawn on baseline 100, the text spans rows 100 - (h - d) .. 100 + d - 1.
  s.fb->RenderText("[]|{}\\yYjJ", 10, 100, 700, 0, kSize, kWhite);
  const auto painted = s.Painted();
  int top = 576, bottom = -1;
  for (const auto& p : painted) top = std::min(top, p.second), bottom = std::max(bottom, p.second);
  EXPECT_EQ(100 - (h - d), top);
  EXPECT_EQ(100 + d - 1, bottom);
}

TEST(Font, AlignmentPlacesTheText) {
  TextScreen probe;
  const std::string text = "Centred text";
  const int tw = probe.Width(text);
  struct Case {
    const char* name;
    int x, width, align, expectX;
  };
  const std::vector<Case> cases = {
      {"centred on the screen", 0, 720, 1, (720 - tw) / 2},
      {"centred in a window", 100, 301, 1, 100 + (301 - tw) / 2},
      {"right aligned", 50, 600, 2, 50 + 600 - tw},
      {"too wide to centre is not moved", 30, tw, 1, 30},
      {"unknown align is left", 30, 600, 7, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectSameDrawing([&](FrameBuffer& fb) { fb.RenderText(text, c.x, 100, c.width, c.align, kSize, kWhite); },
                      [&](FrameBuffer& fb) { fb.RenderText(text, c.expectX, 100, c.width, 0, kSize, kWhite); });
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

TEST(Font, TranslationSelectsTheGlyphAndMissingGlyphsAreSpaces) {
  TempDir dir;
  dir.Write("t",
            "BeginTable:x\n"
            "#:233\n"      // é
            "A:351\n"      // U+015F s-cedilla, whose low byte is "_"
            "B:318\n"      // U+013E l-caron, whose low byte is ">"
            "Q:57344\n"    // a private-use code the font lacks
            "R:-5\n"       // a negative value finds no glyph either
            "C:60\n"       // a table may map a byte onto a marker
            "EndTable\n");
  const std::string path = dir.File("t");
  auto withTable = [&](FrameBuffer& fb, const std::string& text) {
    Translator t;
    t.LoadTranslation("x", path);
    fb.SetTranslator(&t);
    fb.RenderText(text, 10, 100, 700, 0, kSize, kWhite);
    fb.SetTranslator(nullptr);
  };
  // With no table the byte 0xE9 stands for U+00E9 itself.
  ExpectSameDrawing([&](FrameBuffer& fb) { withTable(fb, "#"); },
                    [](FrameBuffer& fb) { fb.RenderText("\xE9", 10, 100, 700, 0, kSize, kWhite); });
  ExpectSameDrawing([&](FrameBuffer& fb) { withTable(fb, "xQRx"); },
                    [](FrameBuffer& fb) { fb.RenderText("x  x", 10, 100, 700, 0, kSize, kWhite); });
  ExpectSameDrawing([&](FrameBuffer& fb) { withTable(fb, "xCl"); },
                    [](FrameBuffer& fb) { fb.RenderText("x<l", 10, 100, 700, 0, kSize, kWhite); });
  // Letters that share their low byte with a marker are drawn, not taken
  // for a marker.
  for (const char* text : {"A", "B"}) {
    TextScreen s;
    withTable(*s.fb, text);
    EXPECT_FALSE(s.Painted().empty()) << text;
  }
}

TEST(Font, KerningFollowsTheSizeInUse) {
  TextScreen s;
  const int a = s.Width("A"), v = s.Width("V");
  const int av = s.Width("AV");
  EXPECT_LT(av, a + v);  // DejaVu Sans kerns this pair
  // Cached glyphs do not switch the face's size; kerning must still be
  // computed at the size asked for.
  const int av20 = s.Width("AV", 20);
  s.Width("AV", 60);
  EXPECT_EQ(av, s.Width("AV"));
  EXPECT_EQ(av20, s.Width("AV", 20));
  TextScreen fresh;
  EXPECT_EQ(av20, fresh.Width("AV", 20));
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

TEST(Font, OversizedFontIsClampedOnce) {
  TextScreen s;
  LogCapture capture;
  int w1 = 0, h1 = 0, d1 = 0, w2 = 0, h2 = 0, d2 = 0;
  s.fb->GetTextSize(100000, "[]|{}\\yYjJ", w1, h1, d1);
  s.fb->GetTextSize(100000, "[]|{}\\yYjJ", w1, h1, d1);
  EXPECT_EQ("ZUVA: Font size 100000 out of range, using 120\n", capture.Text());
  s.fb->GetTextSize(FrameBuffer::kMaxFontSize, "[]|{}\\yYjJ", w2, h2, d2);
  EXPECT_EQ(w2, w1);
  EXPECT_EQ(h2, h1);
  EXPECT_GT(h2, 100);  // the largest size still yields every glyph of the sample
  EXPECT_GT(d2, 0);
}

TEST(Font, MeasuringOutsideTheLockRacesNoDrawing) {
  // The row measurement runs without the drawing lock while the other thread
  // draws a message; both must keep getting the same answers.
  TextScreen s;
  const int want = s.Width("Subtitle row AV");
  std::thread measurer([&] {
    for (int i = 0; i < 300; ++i) ASSERT_EQ(want, s.Width("Subtitle row AV"));
  });
  for (int i = 0; i < 300; ++i) {
    s.fb->Lock();
    s.fb->FillRect(0, 15, 720, 40, 0);
    s.fb->RenderText("<OSD> message", 0, 40, 720, 1, 20, kWhite);
    s.fb->Unlock();
  }
  measurer.join();
}

TEST(Font, OutlinedSubtitleWritesALegiblePng) {
  for (int bpp : {32, 8}) {
    SimFramebuffer::Geometry g;
    g.bitsPerPixel = bpp;
    TextScreen s(g);
    const std::string text = "Bonjour <à tous> AV_W_ {}|[]";
    int tw = 0, lh = 0, de = 0;
    s.fb->GetTextSize(kSize, "[]|{}\\yYjJ", tw, lh, de);
    de += 3;
    s.fb->GetTextSize(kSize, text, tw, lh, de);
    const int x = (720 - tw) / 2 + 1;
    s.fb->Lock();
    ASSERT_TRUE(s.fb->AllocBackBuffer(lh + de, 0));
    s.fb->UseBackBuffer(true);
    s.fb->FillRect(x - de / 2, 0, tw + de, lh + de, 0x00000044);
    const int o = 2;
    const int offsets[8][2] = {{-o, -o}, {-o, o}, {o, -o}, {o, o}, {o, 0}, {-o, 0}, {0, o}, {0, -o}};
    for (const auto& d : offsets) s.fb->RenderText(text, x + d[0], lh + d[1], 720 - x, 0, kSize, 0x000000FF);
    s.fb->RenderText(text, x, lh, 720 - x, 0, kSize, kWhite);
    EXPECT_TRUE(s.fb->CopyBackBuffer(530 - lh));
    s.fb->UseBackBuffer(false);
    s.fb->FreeBackBuffer();
    s.fb->Unlock();

    const std::string file = s.dir.File("screen.png");
    ASSERT_TRUE(WriteScreenPng(file, s.device));
    const std::string png = ReadWholeFile(file);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(0, std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8));
    // IHDR: width and height big-endian at bytes 16 and 20, 8-bit RGB.
    const auto be32 = [&](size_t at) {
      return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
             uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    EXPECT_EQ(720u, be32(16));
    EXPECT_EQ(576u, be32(20));
    EXPECT_EQ(8, png[24]);
    EXPECT_EQ(2, png[25]);

    // The composited picture: white text, black outline, grey elsewhere.
    int width = 0, height = 0;
    const auto rgb = ScreenToRGB(s.device, PngOptions(), &width, &height);
    int white = 0, black = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      white += rgb[i] == 255 && rgb[i + 1] == 255 && rgb[i + 2] == 255;
      black += rgb[i] == 0 && rgb[i + 1] == 0 && rgb[i + 2] == 0;
    }
    if (bpp == 32) {
      EXPECT_GT(white, 500);
      EXPECT_GT(black, white);
      EXPECT_EQ(128, rgb[0]);  // an empty pixel shows the background
    } else {
      EXPECT_GT(white, 500);  // index 0xFF of text and outline alike
    }
  }
  EXPECT_FALSE(WriteScreenPng("/nonexistent/dir/x.png", SimFramebuffer()));
}

}  // namespace
