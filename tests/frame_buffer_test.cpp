#include "display/frame_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "sim/sim_framebuffer.h"
#include "support/sim_screen.h"

namespace {

constexpr uint8_t kPattern = 0xAB;
using Bytes = std::vector<uint8_t>;

// What the screen memory must look like: a copy of it, edited by the test the
// way the operation under test is meant to edit the real one.
struct Model {
  explicit Model(const SimFramebuffer& dev)
      : bytes(dev.Memory(), dev.Memory() + dev.MemoryBytes()),
        stride(dev.Stride()),
        bpp(dev.BytesPerPixel()) {}
  void Put(int x, int y, uint32_t colour) {
    uint8_t* p = &bytes[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * bpp];
    if (bpp == 1) p[0] = static_cast<uint8_t>(colour);
    if (bpp == 4) FrameBuffer::ColourToPixelBytes(colour, p);
  }
  // Columns x0..x1 and rows y0..y1, both inclusive.
  void Rect(int x0, int x1, int y0, int y1, uint32_t colour) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Put(x, y, colour);
  }
  // A row as a band copy leaves it: the padding cleared, the pixels set.
  void Row(int y, int width, uint32_t colour) {
    std::memset(&bytes[static_cast<size_t>(y) * stride], 0, static_cast<size_t>(stride));
    Rect(0, width - 1, y, y, colour);
  }
  std::vector<uint8_t> bytes;
  int stride;
  int bpp;
};

// Compares the whole memory, padding included, and names the first bad byte.
void ExpectMemory(const SimFramebuffer& dev, const Model& model) {
  ASSERT_EQ(dev.MemoryBytes(), model.bytes.size());
  const auto bad = std::mismatch(model.bytes.begin(), model.bytes.end(), dev.Memory());
  if (bad.first == model.bytes.end()) return;
  const size_t i = static_cast<size_t>(bad.first - model.bytes.begin());
  ADD_FAILURE() << "byte " << i << " (row " << i / dev.Stride() << ", byte in row "
                << i % dev.Stride() << "): got " << int(*bad.second) << ", want "
                << int(*bad.first);
}

// A screen whose memory holds a pattern, so any stray write shows.
struct Screen : SimScreen {
  explicit Screen(int bpp) : Screen(SimFramebuffer::Geometry{bpp, 720, 576, 768}) {}
  explicit Screen(const SimFramebuffer::Geometry& g) : SimScreen(g) {
    device.Fill(kPattern);
    EXPECT_EQ(0, Init());
  }
};

class Depth : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Bpp, Depth, ::testing::Values(32, 8));

// Without a working device every operation refuses and nothing lands.
void ExpectEveryOperationRefused(FrameBuffer& fb, const SimFramebuffer* device) {
  const uint8_t bitmap[4] = {1, 1, 1, 1};
  uint8_t out[4] = {};
  int w = 5, h = 5, d = 5;
  EXPECT_FALSE(fb.IsInitialised());
  EXPECT_EQ(-1, fb.ClearScreen());
  EXPECT_EQ(-1, fb.FillRect(0, 0, 720, 576, 0xFFFFFFFF));
  EXPECT_EQ(-1, fb.RenderText("Hello", 10, 100, 700, 1, 28, 0xFFFFFFFF));
  EXPECT_EQ(-1, fb.ReadPixel(0, 0, out));
  fb.GetTextSize(28, "Hello", w, h, d);
  EXPECT_EQ(0, w + h + d);
  EXPECT_EQ(0, fb.BlitBitmap(bitmap, 2, 2, 0, 0));
  EXPECT_FALSE(fb.AllocBackBuffer(10, 0xFFFFFFFF));
  EXPECT_TRUE(fb.UseBackBuffer(true));
  EXPECT_FALSE(fb.CopyBackBuffer(0));
  EXPECT_FALSE(fb.FreeBackBuffer());
  if (device == nullptr) return;
  for (size_t i = 0; i < device->MemoryBytes(); ++i) ASSERT_EQ(kPattern, device->Memory()[i]) << i;
}

// Rows of nearly 2 GiB ask for more back buffer than any heap holds: the
// band is refused with its line, nothing is thrown. (A sanitizer's allocator
// aborts on such a request instead.)
TEST(FrameBufferBackBuffer, AllocationFailureIsRefusedWithItsLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP();
#endif
  SimScreen s({32, 720, 576, (1 << 29) - 16, 720 * 4});
  ASSERT_EQ(0, s.Init());
  LogCapture capture;
  EXPECT_FALSE(s.fb->AllocBackBuffer(576, 0));
  EXPECT_EQ(capture.Text(), "ZUVA: Could not allocate Back buffer...\n");
  EXPECT_FALSE(s.fb->CopyBackBuffer(0));
}

TEST(FrameBufferInit, FailuresLogTheirLineAndReleaseTheDevice) {
  struct Case {
    const char* name;
    void (*arrange)(SimFramebuffer&);
    std::string font;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"open", [](SimFramebuffer& d) { d.FailOpen(true); }, kDejaVuSans,
       "ZUVA: Could not open frame buffer\n"},
      {"var info", [](SimFramebuffer& d) { d.FailRequest(FBIOGET_VSCREENINFO); }, kDejaVuSans,
       "ZUVA: Could not execute FBIOGET_VSCREENINFO\n"},
      {"fix info", [](SimFramebuffer& d) { d.FailRequest(FBIOGET_FSCREENINFO); }, kDejaVuSans,
       "ZUVA: Could not execute FBIOGET_FSCREENINFO\n"},
      {"mmap", [](SimFramebuffer& d) { d.FailMmap(true); }, kDejaVuSans,
       "ZUVA: Could not mmap(screen memory)\n"},
      {"font", [](SimFramebuffer&) {}, "/nonexistent/font.ttf",
       "ZUVA: FT_New_Face failed: No such file or directory, for font: /nonexistent/font.ttf\n"
       "ZUVA: No font could be opened: nothing will be drawn\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimScreen s;
    s.device.Fill(kPattern);
    c.arrange(s.device);
    s.fb->SetFontFallback({});  // no font to fall back on
    LogCapture capture;
    EXPECT_EQ(-1, s.Init(c.font));
    EXPECT_NE(std::string::npos, capture.Text().find(c.line)) << capture.Text();
    EXPECT_EQ(0, s.io.OpenHandles());
    EXPECT_EQ(0, s.io.LiveMappings());
    ExpectEveryOperationRefused(*s.fb, &s.device);
  }
  // Closed after a good start, and never started at all.
  SimScreen s;
  s.device.Fill(kPattern);
  ASSERT_EQ(0, s.Init());
  s.fb->Close();
  LogCapture capture;
  ExpectEveryOperationRefused(*s.fb, &s.device);
  FrameBuffer fresh(s.platform);
  ExpectEveryOperationRefused(fresh, nullptr);
}

TEST_P(Depth, FillRectCoversTheInclusiveRightEdgeAndClipsRows) {
  struct Case {
    int x, y, w, h;
    int x0, x1, y0, y1;  // expected columns and rows, inclusive; x1 < x0 for none
  };
  const std::vector<Case> cases = {
      {700, 10, 50, 2, 700, 719, 10, 11},   {100, 10, 0, 2, 1, 0, 0, 0},
      {100, 10, 1, 2, 100, 101, 10, 11},    {-20, 0, 10, 1, 0, 10, 0, 0},
      {100, 10, 5, 0, 1, 0, 0, 0},          {0, 0, 720, 576, 0, 719, 0, 575},
      {719, 3, 5, 1, 1, 0, 0, 0},           {900, 3, 5, 1, 1, 0, 0, 0},  // nothing right of 719
      {10, -5, 5, 10, 10, 15, 0, 4},        {10, 570, 5, 100, 10, 15, 570, 575},
      {10, INT_MAX - 1, 5, 10, 1, 0, 0, 0},  // far below, no overflow
      {0, INT_MIN, INT_MAX, INT_MAX, 1, 0, 0, 0},  // ends at row -2
      {0, -100, 720, INT_MAX, 0, 719, 0, 575}, {-5, 7, INT_MAX, 1, 0, 719, 7, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << "," << c.w << "," << c.h);
    Screen s(GetParam());
    Model model(s.device);
    if (c.x1 >= c.x0) model.Rect(c.x0, c.x1, c.y0, c.y1, 0x11223344);
    EXPECT_EQ(0, s.fb->FillRect(c.x, c.y, c.w, c.h, 0x11223344));
    ExpectMemory(s.device, model);
  }
}

TEST_P(Depth, BackBufferMisuseAndReadPixelBounds) {
  Screen s(GetParam());
  LogCapture capture;
  EXPECT_FALSE(s.fb->CopyBackBuffer(0));
  EXPECT_FALSE(s.fb->FreeBackBuffer());
  for (int rows : {0, -1, 577, INT_MAX, INT_MIN}) EXPECT_FALSE(s.fb->AllocBackBuffer(rows, 0)) << rows;
  const std::string log = capture.Text();
  EXPECT_EQ(7, std::count(log.begin(), log.end(), '\n')) << log;  // one line each
  // Without a back buffer, using it keeps the screen as the target.
  EXPECT_TRUE(s.fb->UseBackBuffer(true));
  s.fb->FillRect(718, 575, 1, 1, 0x11223344);  // columns 718 and 719

  const int bpp = GetParam() / 8;
  uint8_t out[4] = {};
  ASSERT_EQ(0, s.fb->ReadPixel(719, 575, out));
  const Bytes want = bpp == 4 ? Bytes{0x33, 0x22, 0x11, 0x44} : Bytes{0x44, 0, 0, 0};
  EXPECT_EQ(want, Bytes(out, out + 4));
  const std::vector<std::pair<int, int>> outside = {
      {-1, 0}, {720, 0}, {0, -1}, {0, 576}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}};
  for (const auto& [x, y] : outside) {
    std::memset(out, 0x77, sizeof out);
    capture.Clear();
    EXPECT_EQ(-1, s.fb->ReadPixel(x, y, out));
    for (int i = 0; i < bpp; ++i) EXPECT_EQ(0, out[i]) << x << "," << y;
    EXPECT_NE(std::string::npos, capture.Text().find(") lies outside the drawing target\n"));
  }
  EXPECT_EQ(-1, s.fb->ReadPixel(0, 0, nullptr));

  // The DVB display's probe reads a column straight from memory: only the
  // column asked, only the rows of its step.
  s.fb->ClearScreen();
  const uint8_t dot = 5;
  s.fb->SetPaletteColor(dot, 0x11223344);
  s.fb->BlitBitmap(&dot, 1, 1, 400, 100);
  const std::array<int, 5> probes[] = {{400, 0, 576, 1, 1}, {399, 0, 576, 1, 0}, {401, 0, 576, 1, 0},
                                       {400, 0, 576, 2, 1}, {400, 1, 576, 2, 0}, {400, 101, 576, 1, 0},
                                       {400, 0, 100, 1, 0}, {100, 0, 576, 1, 0}};
  for (const auto& [x, first, end, step, set] : probes) {
    EXPECT_EQ(set == 1, s.fb->AnyPixelSet(x, first, end, step)) << x << " " << first << " " << step;
  }

  // In the back buffer only its rows can be read; a second one replaces the first.
  ASSERT_TRUE(s.fb->AllocBackBuffer(4, 0));
  ASSERT_TRUE(s.fb->AllocBackBuffer(3, 0x55555555));
  s.fb->UseBackBuffer(true);
  EXPECT_EQ(0, s.fb->ReadPixel(0, 2, out));
  EXPECT_EQ(0x55, out[0]);
  EXPECT_EQ(-1, s.fb->ReadPixel(0, 3, out));
  // Bands wholly off the screen are not copied; of one partly above it only
  // the rows on the screen are, from the right row of the band.
  Model expected(s.device);
  expected.Row(0, 720, 0x66666666);
  s.fb->FillRect(0, 2, 720, 1, 0x66666666);
  for (int y : {-3, 576, INT_MAX, INT_MIN}) EXPECT_FALSE(s.fb->CopyBackBuffer(y)) << y;
  EXPECT_TRUE(s.fb->CopyBackBuffer(-2));
  ExpectMemory(s.device, expected);
  EXPECT_TRUE(s.fb->FreeBackBuffer());
  EXPECT_FALSE(s.fb->FreeBackBuffer());
  // Bands reuse memory: nothing the first of these draws may reach the third.
  for (int rows : {20, 5, 20}) {
    ASSERT_TRUE(s.fb->AllocBackBuffer(rows, 0));
    s.fb->UseBackBuffer(true);
    ASSERT_EQ(0, s.fb->ReadPixel(5, rows - 1, out));
    EXPECT_EQ(0, out[0]) << rows;
    s.fb->FillRect(0, rows - 1, 10, 1, 0x77777777);
  }
}

TEST_P(Depth, BlitBitmapCopiesPaletteColoursAndClipsAtEveryEdge) {
  // Three rows of 24 pixels, eight transparent, eight of one index and eight
  // mixed with holes (the blit takes each kind of eight its own way), placed
  // across each edge.
  uint8_t bitmap[3 * 24];
  for (int i = 0; i < 3 * 24; ++i) {
    const int col = i % 24;
    bitmap[i] = col < 8 ? 0 : col < 16 ? 1 + i / 24 : (col + i / 24) % 3 == 0 ? 0 : 1 + col % 8;
  }
  const std::vector<std::pair<int, int>> places = {{10, 10},  {-2, 10},   {718, 10},  {10, -2},
                                                   {10, 575}, {-3, -2},   {717, 574}, {-100, 5},
                                                   {5, 900},  {INT_MAX, INT_MAX}};
  for (const auto& [x, y] : places) {
    SCOPED_TRACE(::testing::Message() << x << "," << y);
    Screen s(GetParam());
    for (int i = 1; i <= 8; ++i) s.fb->SetPaletteColor(i, 0x10203000u + i);
    Model expected(s.device);
    for (int r = 0; r < 3; ++r) {
      for (int col = 0; col < 24; ++col) {
        const int64_t px = int64_t(x) + col, py = int64_t(y) + r;
        const uint8_t index = bitmap[r * 24 + col];
        if (index == 0 || px < 0 || px > 719 || py < 0 || py > 575) continue;
        // At 8 bits per pixel the index itself is the pixel.
        expected.Put(int(px), int(py), GetParam() == 32 ? 0x10203000u + index : index);
      }
    }
    EXPECT_EQ(3, s.fb->BlitBitmap(bitmap, 24, 3, x, y));
    ExpectMemory(s.device, expected);
  }
  // No rows, no columns, no bitmap, a palette index out of range: nothing lands.
  Screen s(GetParam());
  const Model untouched(s.device);
  s.fb->SetPaletteColor(1, 0xFFFFFFFF);
  s.fb->SetPaletteColor(-1, 0);
  s.fb->SetPaletteColor(256, 0);
  EXPECT_EQ(0, s.fb->BlitBitmap(bitmap, 4, 0, 10, 10));
  EXPECT_EQ(3, s.fb->BlitBitmap(bitmap, 0, 3, 10, 10));
  EXPECT_EQ(0, s.fb->BlitBitmap(nullptr, 4, 3, 10, 10));
  ExpectMemory(s.device, untouched);
}

// Text drawing at the edges; how glyphs look is held by the render identity
// hashes.
TEST(Font, TextNeverLeavesTheScreenOrTheBand) {
  // x, y, width, size
  const std::vector<std::array<int, 4>> cases = {
      {690, 100, 720, 28}, {-15, 100, 720, 28},             {100, 5, 720, 28},
      {100, 590, 720, 28}, {INT_MIN, INT_MAX, INT_MAX, 28}, {-50, 300, INT_MAX, 100000},
      {10, 100, 700, -28}, {700, 100, INT_MAX, 28},         {300, 100, 40, 28},
  };
  for (const auto& [x, y, width, size] : cases) {
    SCOPED_TRACE(::testing::Message() << x << "," << y << "," << width << "," << size);
    SimScreen s;
    ASSERT_EQ(0, s.Init());
    for (int align = 0; align < 3; ++align)
      s.fb->RenderText("Wide Text gjpqy ", x, y, width, align, size, 0xFFFFFFFF);
    EXPECT_TRUE(s.PaddingUntouched());
  }
  // Inside a band only its rows receive pixels.
  SimScreen s;
  ASSERT_EQ(0, s.Init());
  ASSERT_TRUE(s.fb->AllocBackBuffer(10, 0));
  s.fb->UseBackBuffer(true);
  s.fb->RenderText("Tall glyphs {|}", 0, 20, 720, 0, 28, 0xFFFFFFFF);
  s.fb->CopyBackBuffer(100);
  const std::vector<int> rows = s.UsedRows();
  ASSERT_FALSE(rows.empty());
  EXPECT_TRUE(rows.front() >= 100 && rows.back() <= 109) << rows.front() << ".." << rows.back();
}

TEST(FrameBufferGeometry, SmallDevicesClipEverythingToTheirMemory) {
  struct Case {
    const char* name;
    SimFramebuffer::Geometry g;
    int width, height;
  };
  const std::vector<Case> cases = {{"640x480", {32, 640, 480, 640}, 640, 480},
                                   {"300 rows", {32, 720, 576, 768, 768 * 4 * 300 + 100}, 720, 300},
                                   {"no stride", {32, 720, 576, 0, 4096}, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s(c.g);
    ASSERT_TRUE(s.fb->IsInitialised());
    EXPECT_EQ(c.width, s.fb->DrawableWidth());
    EXPECT_EQ(c.height, s.fb->DrawableHeight());
    Model expected(s.device);
    s.fb->FillRect(0, 0, 720, 576, 0xCAFEBABE);
    ASSERT_TRUE(s.fb->AllocBackBuffer(40, 0x12345678) || c.width == 0);
    s.fb->CopyBackBuffer(c.height - 20);  // half of the band would lie below
    s.fb->FreeBackBuffer();
    s.fb->RenderText("Clipped at the edges of memory", 500, c.height + 80, 720, 0, 60, 0xFFFFFFFF);
    // Columns are clipped to the device's width, rows to its height: the
    // pixel right of the edge would land in the stride or the next row.
    const uint8_t bitmap[6] = {1, 1, 1, 1, 1, 1};
    s.fb->SetPaletteColor(1, 0x01020304);
    s.fb->BlitBitmap(bitmap, 2, 3, c.width - 1, c.height - 2);
    if (c.width > 0) {
      expected.Rect(0, c.width - 1, 0, c.height - 21, 0xCAFEBABE);
      for (int y = c.height - 20; y < c.height; ++y) expected.Row(y, c.width, 0x12345678);
      expected.Rect(c.width - 1, c.width - 1, c.height - 2, c.height - 1, 0x01020304);
    }
    ExpectMemory(s.device, expected);
    // The collision probe reads memory directly: it must stop where memory ends.
    EXPECT_EQ(c.width > 0, s.fb->AnyPixelSet(0, c.height - 1, 700, 1));
  }
}

}  // namespace

// A character the font lacks is drawn with the fallback font, and each script
// missing from the font is named once in the log.
TEST(Font, MissingGlyphsComeFromTheFallbackFont) {
  const std::string serif = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf";  // no Hebrew
  // The screen after drawing alef twice and bet once (a and b in the table)
  // with `font` and the fallback list `files`; the log of the drawing.
  auto draw = [](const std::string& font, std::vector<std::string> files, std::string* log) {
    SimScreen s;
    s.dir.Write("t", "BeginTable:heb\na:1488\nb:1489\nEndTable\n");
    s.translator.LoadTranslation("heb", s.dir.File("t"));
    FontFallback fallback;
    fallback.files = std::move(files);
    s.fb->SetFontFallback(fallback);
    EXPECT_EQ(0, s.Init(font));
    LogCapture capture;
    s.fb->RenderText("a", 100, 300, 600, 0, 28, 0xFFFFFFFF);
    s.fb->RenderText("a", 100, 300, 600, 0, 28, 0xFFFFFFFF);
    s.fb->RenderText("b", 100, 400, 600, 0, 28, 0xFFFFFFFF);
    if (log != nullptr) *log = capture.Text();
    return std::vector<uint8_t>(s.device.Memory(), s.device.Memory() + s.device.MemoryBytes());
  };
  std::string log;
  // The configured font itself and a missing file are passed over.
  const auto drawn = draw(serif, {serif, "/nonexistent.ttf", kDejaVuSans}, &log);
  EXPECT_EQ(drawn, draw(kDejaVuSans, {}, nullptr));
  EXPECT_EQ("ZUVA: Font " + serif + " has no glyph for U+05D0 (Hebrew): such characters are " +
                "drawn with " + kDejaVuSans + "\n",
            log);
  // Without a fallback font the letters are spaces, said once.
  const auto spaced = draw(serif, {"/nonexistent.ttf"}, &log);
  EXPECT_TRUE(std::all_of(spaced.begin(), spaced.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ("ZUVA: Font " + serif + " has no glyph for U+05D0 (Hebrew), nor has any fallback " +
                "font: drawn as spaces\n",
            log);
}

// The daemon's own messages keep their letters whatever table the broadcast
// needs; subtitle text before and after a message is still translated.
TEST(Font, MessagesBypassTheTranslationTable) {
  auto screen = [](bool message) {
    SimScreen s;
    s.dir.Write("t", "BeginTable:rus\na:1073\nEndTable\n");  // a: Cyrillic be
    s.translator.LoadTranslation("rus", s.dir.File("t"));
    EXPECT_EQ(0, s.Init());
    s.fb->RenderText("a<b", 100, 100, 600, 1, 28, 0xFFFFFFFF);
    if (message) {
      s.fb->RenderMessage("a<b", 100, 300, 600, 1, 28, 0xFFFFFFFF);
    } else {
      s.translator.LoadTranslation("none", s.dir.File("t"));
      s.fb->RenderText("a<b", 100, 300, 600, 1, 28, 0xFFFFFFFF);
      s.translator.LoadTranslation("rus", s.dir.File("t"));
    }
    s.fb->RenderText("a<b", 100, 500, 600, 1, 28, 0xFFFFFFFF);
    return std::vector<uint8_t>(s.device.Memory(), s.device.Memory() + s.device.MemoryBytes());
  };
  EXPECT_EQ(screen(false), screen(true));
}
