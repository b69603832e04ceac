// The helpers of the FFmpeg interoperability check: the bitmap subtitle
// writer that feeds FFmpeg, and the shape comparison that judges the result.
// A fault here would make the check pass or fail for the wrong reason.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/shape_compare.h"
#include "tsgen/sup_writer.h"
#include "sim/png_writer.h"
#include "support/temp_dir.h"

using Bytes = std::vector<uint8_t>;

namespace {

// An independent reading of the run-length codes: per line, a non-zero byte
// is one pixel; 00 then a flag byte: 00 ends the line, bits 7-6 say whether a
// colour follows (bit 7) and whether the length has 14 bits (bit 6).
bool DecodeRle(const Bytes& data, int width, std::vector<Bytes>& lines) {
  size_t i = 0;
  Bytes line;
  while (i < data.size()) {
    const uint8_t b = data[i++];
    if (b != 0) {
      line.push_back(b);
      continue;
    }
    if (i >= data.size()) return false;
    const uint8_t f = data[i++];
    if (f == 0) {
      if (static_cast<int>(line.size()) != width) return false;
      lines.push_back(line);
      line.clear();
      continue;
    }
    int length = f & 0x3F;
    if (f & 0x40) {
      if (i >= data.size()) return false;
      length = (length << 8) | data[i++];
    }
    uint8_t colour = 0;
    if (f & 0x80) {
      if (i >= data.size()) return false;
      colour = data[i++];
    }
    line.insert(line.end(), static_cast<size_t>(length), colour);
  }
  return line.empty();
}

interop::Mask MaskOf(int w, int h, const std::vector<std::pair<int, int>>& points) {
  interop::Mask m;
  m.width = w;
  m.height = h;
  m.set.assign(static_cast<size_t>(w * h), 0);
  for (const auto& p : points) m.set[static_cast<size_t>(p.second * w + p.first)] = 1;
  return m;
}

interop::Mask Rect(int w, int h, int x0, int y0, int x1, int y1) {
  std::vector<std::pair<int, int>> points;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) points.push_back({x, y});
  return MaskOf(w, h, points);
}

}  // namespace

TEST(InteropSup, RunLengthCodes) {
  struct Case {
    const char* name;
    Bytes row;
    Bytes expected;  // the codes of the row, end of line included
  };
  const std::vector<Case> cases = {
      {"single pixels", {1, 2, 1}, {1, 2, 1, 0, 0}},
      {"two of a colour stay pixels", {3, 3}, {3, 3, 0, 0}},
      {"three of a colour make a run", {3, 3, 3}, {0, 0x83, 3, 0, 0}},
      {"one transparent pixel is a run", {0}, {0, 1, 0, 0}},
      {"63 transparent, short form", Bytes(63, 0), {0, 63, 0, 0}},
      {"64 transparent, long form", Bytes(64, 0), {0, 0x40, 64, 0, 0}},
      {"300 of colour 2, long form", Bytes(300, 2), {0, 0xC1, 0x2C, 2, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    interop::Bitmap b{static_cast<int>(c.row.size()), 1, c.row};
    EXPECT_EQ(interop::EncodeRle(b), c.expected);
  }
}

TEST(InteropSup, RunsBeyondTheLongFormSplitAndRoundTrip) {
  // Rows longer than the 14-bit length and mixed content decode back to the
  // very pixels, line by line.
  interop::Bitmap b;
  b.width = 20000;
  b.height = 3;
  b.pixels.assign(static_cast<size_t>(b.width) * 3, 0);
  for (int x = 0; x < b.width; ++x) {
    b.pixels[static_cast<size_t>(b.width + x)] = static_cast<uint8_t>(x < 17000 ? 1 : 3);
    b.pixels[static_cast<size_t>(2 * b.width + x)] = static_cast<uint8_t>((x / 3) % 4);
  }
  std::vector<Bytes> lines;
  ASSERT_TRUE(DecodeRle(interop::EncodeRle(b), b.width, lines));
  ASSERT_EQ(lines.size(), 3u);
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(lines[static_cast<size_t>(y)],
              Bytes(b.pixels.begin() + y * b.width, b.pixels.begin() + (y + 1) * b.width))
        << "line " << y;
  }
}

TEST(InteropSup, CueSegmentsAndTimes) {
  interop::Bitmap bitmap{4, 2, {0, 1, 1, 0, 2, 2, 2, 2}};
  Bytes out;
  int number = 0;
  interop::sup::AppendCue(out, {{bitmap, 10, 20}}, 1000, 2500, number);
  EXPECT_EQ(number, 2);
  // Walk the segments: magic, presentation time, type, length.
  std::vector<std::pair<uint8_t, uint32_t>> seen;
  size_t i = 0;
  while (i + 13 <= out.size()) {
    ASSERT_EQ(out[i], 'P');
    ASSERT_EQ(out[i + 1], 'G');
    const uint32_t pts = static_cast<uint32_t>(out[i + 2]) << 24 | out[i + 3] << 16 |
                         out[i + 4] << 8 | out[i + 5];
    const uint8_t type = out[i + 10];
    const size_t length = static_cast<size_t>(out[i + 11] << 8 | out[i + 12]);
    seen.push_back({type, pts});
    if (type == interop::sup::kObject) {
      const uint8_t* o = &out[i + 13];
      EXPECT_EQ(static_cast<size_t>(o[4] << 16 | o[5] << 8 | o[6]), length - 7);
      EXPECT_EQ(o[7] << 8 | o[8], 4);   // width
      EXPECT_EQ(o[9] << 8 | o[10], 2);  // height
    }
    if (type == interop::sup::kComposition) {
      const uint8_t* c = &out[i + 13];
      EXPECT_EQ(c[0] << 8 | c[1], 720);
      EXPECT_EQ(c[2] << 8 | c[3], 576);
      if (c[10] == 1) {
        EXPECT_EQ(c[15] << 8 | c[16], 10);  // x
        EXPECT_EQ(c[17] << 8 | c[18], 20);  // y
      }
    }
    i += 13 + length;
  }
  EXPECT_EQ(i, out.size());
  using S = std::pair<uint8_t, uint32_t>;
  namespace s = interop::sup;
  EXPECT_EQ(seen, (std::vector<S>{{s::kComposition, 90000}, {s::kWindows, 90000},
                                  {s::kPalette, 90000}, {s::kObject, 90000}, {s::kEnd, 90000},
                                  {s::kComposition, 225000}, {s::kWindows, 225000},
                                  {s::kEnd, 225000}}));
}

TEST(InteropSup, ParseCues) {
  struct Case {
    const char* name;
    const char* text;
    bool ok;
    std::vector<size_t> linesPerCue;
  };
  const std::vector<Case> cases = {
      {"two cues, comment and blank line", "# c\n1000 2000 10 20 white Hello\n\n3000 4000 0 0 box A b\n",
       true, {1, 1}},
      {"same times join one cue", "1000 2000 10 20 white A\n1000 2000 10 60 yellow B\n", true, {2}},
      {"a third line is refused", "1 2 0 0 white A\n1 2 0 0 white B\n1 2 0 0 white C\n", false, {}},
      {"overlapping cues", "1000 3000 0 0 white A\n2000 4000 0 0 white B\n", false, {}},
      {"unknown style", "1000 2000 0 0 purple A\n", false, {}},
      {"no text", "1000 2000 0 0 white\n", false, {}},
      {"end before start", "2000 1000 0 0 white A\n", false, {}},
      {"position off the screen", "1000 2000 720 0 white A\n", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<interop::Cue> cues;
    std::string error;
    EXPECT_EQ(interop::ParseCues(c.text, cues, error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    std::vector<size_t> counts;
    for (const auto& cue : cues) counts.push_back(cue.lines.size());
    EXPECT_EQ(counts, c.linesPerCue);
  }
  std::vector<interop::Cue> cues;
  std::string error;
  ASSERT_TRUE(interop::ParseCues("1000 2000 10 20 white Two words\n", cues, error));
  EXPECT_EQ(cues[0].lines[0].text, "Two words");
  EXPECT_EQ(cues[0].lines[0].x, 10);
  EXPECT_EQ(cues[0].lines[0].y, 20);
}

TEST(InteropSup, RenderedTextUsesOnlyItsColours) {
  interop::TextRasterizer raster;
  ASSERT_TRUE(raster.Open("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 32));
  struct Case {
    const char* style;
    uint8_t text, background;
  };
  for (const Case& c : std::vector<Case>{{"white", interop::kWhite, interop::kTransparent},
                                         {"yellow", interop::kYellow, interop::kTransparent},
                                         {"box", interop::kWhite, interop::kShade}}) {
    SCOPED_TRACE(c.style);
    interop::CueLine line;
    line.style = c.style;
    line.text = "Hg";
    const interop::Bitmap b = interop::RenderCueLine(raster, line);
    ASSERT_GT(b.width, 20);
    ASSERT_GT(b.height, 30);
    ASSERT_EQ(b.pixels.size(), static_cast<size_t>(b.width * b.height));
    size_t text = 0, other = 0;
    for (uint8_t p : b.pixels) {
      if (p == c.text) {
        ++text;
      } else if (p != c.background) {
        ++other;
      }
    }
    EXPECT_GT(text, 50u);
    EXPECT_EQ(other, 0u);
    // The corner lies outside every glyph: it shows the background.
    EXPECT_EQ(b.pixels[0], c.background);
  }
}

TEST(InteropShapes, BoxesAndOverlap) {
  struct Case {
    const char* name;
    interop::Mask a, b;
    double pixel, coarse;
    int edge;  // -1: a box is empty
  };
  const std::vector<Case> cases = {
      {"same rectangle", Rect(40, 20, 4, 4, 20, 12), Rect(40, 20, 4, 4, 20, 12), 1.0, 1.0, 0},
      // Blocks: 0-4 against 2-7, three of eight shared.
      {"half overlap", Rect(40, 20, 0, 0, 20, 10), Rect(40, 20, 10, 0, 30, 10), 1.0 / 3, 3.0 / 8,
       10},
      {"one pixel apart, same blocks", MaskOf(8, 8, {{1, 1}}), MaskOf(8, 8, {{2, 1}}), 0.0, 1.0, 1},
      {"disjoint", Rect(40, 20, 0, 0, 4, 4), Rect(40, 20, 30, 10, 34, 14), 0.0, 0.0, 30},
      {"both empty", MaskOf(8, 8, {}), MaskOf(8, 8, {}), 1.0, 1.0, -1},
      {"one empty", Rect(8, 8, 0, 0, 2, 2), MaskOf(8, 8, {}), 0.0, 0.0, -1},
      {"no picture against a drawn one", interop::Mask{}, Rect(8, 8, 6, 6, 8, 8), 0.0, 0.0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(interop::Overlap(c.a, c.b, 1), c.pixel, 1e-9);
    EXPECT_NEAR(interop::Overlap(c.a, c.b, 4), c.coarse, 1e-9);
    const interop::Box ba = interop::BoundingBox(c.a), bb = interop::BoundingBox(c.b);
    EXPECT_EQ(ba.Empty() || bb.Empty() ? -1 : interop::EdgeDistance(ba, bb), c.edge);
  }
  const interop::Box box = interop::BoundingBox(Rect(40, 20, 3, 5, 17, 9));
  EXPECT_EQ(box.x0, 3);
  EXPECT_EQ(box.y0, 5);
  EXPECT_EQ(box.x1, 17);
  EXPECT_EQ(box.y1, 9);
}

TEST(InteropShapes, DrawnMeansAwayFromTheBackground) {
  // Grey background 0x808080, tolerance 32: each pixel tested per channel.
  struct Case {
    const char* name;
    uint8_t r, g, b;
    bool drawn;
  };
  const std::vector<Case> cases = {
      {"background", 0x80, 0x80, 0x80, false},
      {"video noise", 0x82, 0x7E, 0x81, false},
      {"at the tolerance", 0xA0, 0x80, 0x80, false},
      {"just beyond it", 0x80, 0x80, 0xA1, true},
      {"white text", 0xFF, 0xFF, 0xFF, true},
      {"translucent shade", 0x40, 0x40, 0x40, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const interop::Mask m = interop::MaskFromRgb({c.r, c.g, c.b}, 1, 1, 0x808080, 32);
    EXPECT_EQ(m.At(0, 0), c.drawn);
  }
  // Too few bytes for the size: no mask rather than a read past the end.
  EXPECT_EQ(interop::MaskFromRgb(Bytes(5), 2, 1, 0, 0).width, 0);
}

TEST(InteropShapes, FrameShownAtATime) {
  const std::string tsv =
      "frame\tfile\tstc_ms\ttime\twhat\n"
      "1\tframe-00001.png\t4451\t00:00:03,751\tclear | [bitmap 462x31 at 84,478]\n"
      "2\tframe-00002.png\t6436\t00:00:05,736\tclear\n"
      "3\tframe-00003.png\t7449\t00:00:06,749\t[bitmap 401x31 at 65,48]\n";
  struct Case {
    long long at;
    const char* file;
  };
  for (const Case& c : std::vector<Case>{{0, ""},
                                         {4450, ""},
                                         {4451, "frame-00001.png"},
                                         {6000, "frame-00001.png"},
                                         {7000, "frame-00002.png"},
                                         {99999, "frame-00003.png"}}) {
    EXPECT_EQ(interop::FrameAt(tsv, c.at), c.file) << "at " << c.at;
  }
  EXPECT_EQ(interop::FrameAt("frame\tfile\tstc_ms\n", 100), "");
  EXPECT_EQ(interop::FrameAt("", 100), "");
  EXPECT_EQ(interop::FrameAt("h\n1\tf.png\tbad\tx\ty\n2\tg.png\t5\tx\ty", 100), "g.png");
}

#ifdef ZUVA_HAVE_PNG
TEST(InteropShapes, PngRoundTrip) {
  TempDir dir;
  const std::string path = dir.Path() + "/p.png";
  Bytes rgb(7 * 3 * 3, 0x80);
  rgb[(1 * 7 + 5) * 3] = 0xFF;  // one red-ish pixel at (5, 1)
  ASSERT_TRUE(WriteRGBPng(path, 7, 3, rgb));
  Bytes back;
  int w = 0, h = 0;
  std::string error;
  ASSERT_TRUE(interop::ReadPngRgb(path, back, w, h, error)) << error;
  EXPECT_EQ(w, 7);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(back, rgb);
  EXPECT_FALSE(interop::ReadPngRgb(dir.Path() + "/missing.png", back, w, h, error));
  EXPECT_FALSE(error.empty());
}
#endif
