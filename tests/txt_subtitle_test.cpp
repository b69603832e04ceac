#include "teletext/txt_subtitle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "display/frame_buffer.h"
#include "config/translator.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "support/sim_screen.h"
#include "support/temp_dir.h"
#include "tsgen/teletext_encoder.h"

namespace {

using tsgen::TeletextHeader;
using tsgen::TeletextUnit;

// The real FrameBuffer on a simulated framebuffer with DejaVu Sans; a test
// also sees where the decoder filled and copied bands, and that it never
// reads a pixel off the screen.
class SpyFrameBuffer : public FrameBuffer {
 public:
  struct Call {
    std::string op;
    int y, h;
  };
  explicit SpyFrameBuffer(const Platform& platform) : FrameBuffer(platform) {}

  std::vector<Call> calls;
  std::vector<Call> Only(const std::string& op) const {
    std::vector<Call> out;
    for (const Call& c : calls) {
      if (c.op == op) out.push_back(c);
    }
    return out;
  }

  int ReadPixel(int x, int y, uint8_t* out) override {
    EXPECT_TRUE(x >= 0 && x < 720 && y >= 0 && y < 576) << x << "," << y;
    return FrameBuffer::ReadPixel(x, y, out);
  }
  int FillRect(int x, int y, int w, int h, uint32_t colour) override {
    calls.push_back({backBuffer_ ? "box" : "fill", y, h});
    return FrameBuffer::FillRect(x, y, w, h, colour);
  }
  bool UseBackBuffer(bool on) override {
    backBuffer_ = on;
    return FrameBuffer::UseBackBuffer(on);
  }
  bool CopyBackBuffer(int y) override {
    calls.push_back({"copy", y, 0});
    return FrameBuffer::CopyBackBuffer(y);
  }
  bool FreeBackBuffer() override {
    backBuffer_ = false;
    return FrameBuffer::FreeBackBuffer();
  }

 private:
  bool backBuffer_ = false;
};

// Members in construction order: device, router, paths, frame buffer.
struct Screen {
  // `rows` > 0 gives the device memory for only that many rows.
  explicit Screen(int bpp = 32, int rows = 0) : device(Depth(bpp, rows)), fb(Wire()) {
    EXPECT_EQ(fb.Init(kDejaVuSans), 0);
    fb.SetTranslator(&translator);
  }
  ~Screen() { fb.Close(); }

  static SimFramebuffer::Geometry Depth(int bpp, int rows) {
    SimFramebuffer::Geometry g;
    g.bitsPerPixel = bpp;
    g.memoryBytes = static_cast<size_t>(rows) * g.stridePixels * (bpp == 32 ? 4 : 1);
    return g;
  }
  const Platform& Wire() {
    io.Attach(Paths::Under(dir.Path()).framebuffer, &device);
    platform.io = &io;
    platform.paths = Paths::Under(dir.Path());
    return platform;
  }

  // Puts a colour on the screen as the framebuffer stores it.
  void Plant(int x, int y, uint32_t colour) {
    uint8_t* p = device.Memory() + static_cast<size_t>(y) * device.Stride() +
                 static_cast<size_t>(x) * device.BytesPerPixel();
    if (device.BitsPerPixel() == 32) {
      FrameBuffer::ColourToPixelBytes(colour, p);
    } else {
      p[0] = static_cast<uint8_t>(colour);
    }
  }
  // Rows of the screen holding anything but empty pixels.
  std::vector<int> UsedRows() const {
    std::vector<int> rows;
    for (int y = 0; y < 576; ++y) {
      for (int x = 0; x < 720; ++x) {
        if (device.PixelAt(x, y) != 0) {
          rows.push_back(y);
          break;
        }
      }
    }
    return rows;
  }


  TempDir dir;
  SimFramebuffer device;
  SimDeviceIO io;
  Platform platform;
  Translator translator;
  SpyFrameBuffer fb;
};

// ---------------------------------------------------------------------------
// Helpers to build and feed streams.

struct Shown {
  std::string text;
  int row;
  bool operator==(const Shown& o) const { return text == o.text && row == o.row; }
};

std::ostream& operator<<(std::ostream& os, const Shown& s) {
  return os << (s.row + 1) << ":" << s.text;
}

void Collect(const std::string& text, int row, void* context) {
  static_cast<std::vector<Shown>*>(context)->push_back({text, row});
}

// Feeds one PES packet held in an exact-size heap block, so reading past it
// is caught by the address sanitizer.
void Feed(TXTSubtitle& txt, const std::vector<uint8_t>& bytes) {
  PESPacket pes;
  pes.size = static_cast<uint32_t>(bytes.size());
  pes.data = bytes.empty() ? nullptr : new uint8_t[bytes.size()];
  if (pes.data != nullptr) std::memcpy(pes.data, bytes.data(), bytes.size());
  EXPECT_EQ(txt.processPES(pes), 0u);
  delete[] pes.data;
}

void FeedUnits(TXTSubtitle& txt, const std::vector<TeletextUnit>& units) {
  for (const auto& p : tsgen::PackTeletextPES(units, 90000)) Feed(txt, p);
}

TeletextUnit Header(int page, bool erase = false) {
  TeletextHeader h;
  h.page = page;
  h.erase = erase;
  return tsgen::EncodeHeaderUnit(h);
}

TeletextUnit Row(int magazine, int row, const std::string& text) {
  return tsgen::EncodeRowUnit(magazine, row, tsgen::SubtitleRowText(text));
}

struct Decoder {
  explicit Decoder(int page, FrameBuffer* fb = nullptr) {
    txt.frameBuffer = fb;
    txt.config = &config;
    txt.configure(page);
    txt.SetRowObserver(Collect, &shown);
  }
  Config config;
  TXTSubtitle txt;
  std::vector<Shown> shown;
};

// ---------------------------------------------------------------------------
// Decoding tables.

constexpr uint8_t kCodewords[16] = {0x15, 0x02, 0x49, 0x5E, 0x64, 0x73, 0x38, 0x2F,
                                    0xD0, 0xC7, 0x8C, 0x9B, 0xA1, 0xB6, 0xFD, 0xEA};

int Distance(uint8_t a, uint8_t b) { return static_cast<int>(std::bitset<8>(a ^ b).count()); }

TeletextUnit RawRow(int magazine, int row, const std::string& raw) {
  return tsgen::EncodeRowUnit(magazine, row, raw);
}

TEST(TXTSubtitleTables, HammingDecodesToNearestCodewordOrRefuses) {
  for (int v = 0; v < 256; ++v) {
    int best = 99, data = -1;
    for (int n = 0; n < 16; ++n) {
      const int d = Distance(static_cast<uint8_t>(v), kCodewords[n]);
      if (d < best) best = d, data = n;
    }
    const uint8_t want = best <= 1 ? static_cast<uint8_t>(data) : 0xFF;
    EXPECT_EQ(TXTSubtitle::Hamming84(static_cast<uint8_t>(v)), want) << "byte 0x" << std::hex << v;
  }
}

// ---------------------------------------------------------------------------
// The page cycle.

struct CycleCase {
  const char* name;
  int wanted;
  std::vector<TeletextUnit> units;
  std::vector<Shown> shown;
  int receiving;
};

TEST(TXTSubtitleCycle, BitErrorsAreCorrectedOrReported) {
  struct Case {
    const char* name;
    int offset;  // byte of the unit as transmitted
    uint8_t mask;
    bool onHeader;  // damage the second header instead of the row
    const char* log;
    std::vector<Shown> shown;
  };
  const std::vector<Case> cases = {
      {"single error in the first address byte", 4, 0x10, false, nullptr, {{"Hi", 21}}},
      {"single error in the second address byte", 5, 0x01, false, nullptr, {{"Hi", 21}}},
      {"single error in a page number byte", 6, 0x80, true, nullptr, {{"Hi", 21}}},
      {"double error in an address byte", 4, 0x11, false, "ZUVA: TXT Biterror in Packet\n", {}},
      {"double error in the row byte", 5, 0x41, false, "ZUVA: TXT Biterror in Packet\n", {}},
      // The completion happens before the page number is read.
      {"double error in the page units", 6, 0x03, true, "ZUVA: TXT Biterror in Page\n",
       {{"Hi", 21}}},
      {"double error in the page tens", 7, 0xC0, true, "ZUVA: TXT Biterror in Page\n",
       {{"Hi", 21}}},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    Decoder d(0x889);
    TeletextUnit row = Row(8, 22, "Hi");
    TeletextUnit second = Header(0x889);
    tsgen::InjectBitErrors(c.onHeader ? second : row, c.offset, c.mask);
    FeedUnits(d.txt, {Header(0x889), row, second, Header(0x100)});
    EXPECT_EQ(d.shown, c.shown) << c.name;
    if (c.log != nullptr) {
      EXPECT_EQ(capture.Text().find(c.log) != std::string::npos, true) << c.name;
    } else {
      EXPECT_EQ(capture.Text().find("Biterror"), std::string::npos) << c.name;
    }
  }
}

TEST(TXTSubtitleCycle, ParityErrorsBecomeSpacesAndUnitIdsAreChecked) {
  LogCapture capture;
  Decoder d(0x889);
  TeletextUnit row = Row(8, 22, "Hello");
  // "Hello" starts at column 18 of the centred row: damage the 'e'.
  tsgen::InjectBitErrors(row, 6 + 19, 0x04);
  TeletextUnit other = tsgen::EncodeRowUnit(8, 23, tsgen::SubtitleRowText("Data"),
                                            tsgen::kTeletextNonSubtitleUnit);
  TeletextUnit wrongId = Row(8, 20, "Wrong id");
  wrongId[0] = 0x04;
  TeletextUnit wrongLength = Row(8, 21, "Wrong length");
  wrongLength[1] = 0x2B;
  FeedUnits(d.txt, {Header(0x889), row, other, wrongId, wrongLength, Header(0x889)});
  EXPECT_EQ(d.shown, (std::vector<Shown>{{"H llo", 21}, {"Data", 22}}));
}

TEST(TXTSubtitleCycle, OnlyWholeUnitsAreRead) {
  // A 184-byte packet: the PES header unit and three units after it.
  const auto packets = tsgen::PackTeletextPES({Header(0x889), Row(8, 22, "Three"), Header(0x889)},
                                              0, 3);
  ASSERT_EQ(packets.size(), 1u);
  ASSERT_EQ(packets[0].size(), 184u);
  struct Case {
    size_t cut;  // bytes dropped from the end
    size_t shown;
  } cases[] = {{0, 1}, {1, 0}, {45, 0}, {46, 0}, {184 - 45, 0}, {184, 0}};
  for (const Case& c : cases) {
    LogCapture capture;
    Decoder d(0x889);
    std::vector<uint8_t> bytes(packets[0].begin(), packets[0].end() - static_cast<long>(c.cut));
    Feed(d.txt, bytes);
    EXPECT_EQ(d.shown.size(), c.shown) << c.cut;
  }
  // A packet with no data at all.
  LogCapture capture;
  Decoder d(0x889);
  PESPacket empty;
  empty.size = 1000;  // a size without data must not be trusted
  EXPECT_EQ(d.txt.processPES(empty), 0u);
  EXPECT_EQ(d.txt.clear(0), 0u);
}

// ---------------------------------------------------------------------------
// Layout.

struct Layout {
  explicit Layout(int bpp = 32, int format = 4) : screen(bpp) {
    txt.frameBuffer = &screen.fb;
    txt.config = &config;
    txt.videoFormat = format;
  }
  void Configure(int page = 0x889) {
    txt.configure(page);
    screen.fb.calls.clear();
  }
  // Where the decoder is meant to put row index i: the band's top row.
  int Top(int i) const {
    const int pitch = txt.LineHeight() + txt.Descent() + txt.RowSpace();
    return txt.StartY() + (i - 21) / 2 * pitch + 530 - txt.LineHeight();
  }
  int Band() const { return txt.LineHeight() + txt.Descent(); }

  Config config;
  Screen screen;
  TXTSubtitle txt;
};

// ---------------------------------------------------------------------------
// Collision check.

TEST(TXTSubtitleCollision, ForeignPixelsStopDrawingAndClearing) {
  struct Case {
    int bpp;
    uint32_t pixel;  // colour value (palette index at 8 bpp)
    int row;         // below the top of the drawn band at 32 bpp, absolute at 8
    bool foreign;
    const char* log;
  };
  const std::vector<Case> cases = {
      {32, 0x12345678, 10, true, nullptr},
      {32, 0xFFFFFFFF, 10, false, nullptr},  // our text colour
      {32, 0x000000FF, 20, false, nullptr},  // our outline
      {32, 0x00000044, 20, false, nullptr},  // our box
      {32, 0x12345600, 10, false, nullptr},  // transparent
      {32, 0x12345678, 11, false, nullptr},  // every other row is looked at
      {32, 0x12345678, -100, false, nullptr},  // outside the band once one is drawn
      {8, 0x13, 100, true, "ZUVA: Check collision@(360, 100): Color at this pixel:13\n"},
      {8, 0x44, 100, false, nullptr},  // low bytes of our colours
      {8, 0xFF, 100, false, nullptr},
      {8, 0x13, 101, false, nullptr},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.bpp) + " bpp pixel " + std::to_string(c.pixel) +
                             " row " + std::to_string(c.row);
    LogCapture capture;
    Layout l(c.bpp);
    l.Configure();
    ASSERT_EQ(l.txt.drawRow("first", 22), 0) << name;
    const int top = l.Top(22);
    const int row = c.bpp == 32 ? top + c.row : c.row;
    l.screen.Plant(360, row, c.pixel);
    const std::vector<uint8_t> before(l.screen.device.Memory(),
                                      l.screen.device.Memory() + l.screen.device.MemoryBytes());
    l.screen.fb.calls.clear();
    capture.Clear();

    EXPECT_EQ(l.txt.isAreaFree(), !c.foreign) << name;
    EXPECT_EQ(l.txt.drawRow("second", 22), c.foreign ? 1 : 0) << name;
    if (!c.foreign) continue;
    EXPECT_TRUE(l.screen.fb.Only("copy").empty()) << name;
    EXPECT_NE(capture.Text().find("ZUVA: Subtitle@23:second\n"
                                  "ZUVA: ...don't draw this, something on screen.\n"),
              std::string::npos)
        << capture.Text();
    if (c.log != nullptr) {
      EXPECT_NE(capture.Text().find(c.log), std::string::npos);
    }
    // The clear waits too, and is tried again after every packet.
    l.txt.clearPage();
    EXPECT_TRUE(l.txt.ClearPending()) << name;
    Feed(l.txt, {});
    EXPECT_TRUE(l.txt.ClearPending()) << name;
    EXPECT_TRUE(std::equal(before.begin(), before.end(), l.screen.device.Memory())) << name;
    // The other display goes; the next packet clears our band, and only it.
    l.screen.Plant(360, row, 0);
    Feed(l.txt, {0x00, 0x00, 0x01});
    EXPECT_FALSE(l.txt.ClearPending()) << name;
    const auto fills = l.screen.fb.Only("fill");
    ASSERT_EQ(fills.size(), 1u) << name;
    EXPECT_EQ(fills[0].y, top);
    EXPECT_EQ(fills[0].h, l.Band());
    EXPECT_TRUE(l.screen.UsedRows().empty()) << name;
  }
}


TEST(TXTSubtitleCycle, PagesAreShownAtTheNextHeader) {
  const std::vector<CycleCase> cases = {
      {"not shown before the next header", 0x889, {Header(0x889), Row(8, 22, "Hello")}, {}, 1},
      {"shown at the next header of the page",
       0x889,
       {Header(0x889), Row(8, 22, "Hello"), Header(0x889)},
       {{"Hello", 21}},
       0},
      {"shown at a header of another magazine",
       0x889,
       {Header(0x889), Row(8, 22, "Hello"), Row(8, 23, "World"), Header(0x100)},
       {{"Hello", 21}, {"World", 22}},
       0},
      {"rows not sent again keep their text",
       0x889,
       {Header(0x889), Row(8, 20, "A"), Row(8, 22, "B"), Header(0x889), Row(8, 22, "C"),
        Header(0x889)},
       {{"A", 19}, {"B", 21}, {"A", 19}, {"C", 21}},
       0},
      {"erase with no rows after it",
       0x889,
       {Header(0x889), Row(8, 22, "A"), Header(0x889, true), Header(0x889)},
       {{"A", 21}},
       0},
      {"erase then new rows",
       0x889,
       {Header(0x889), Row(8, 22, "A"), Header(0x889, true), Row(8, 23, "B"), Header(0x100)},
       {{"A", 21}, {"B", 22}},
       0},
      {"rows 24 and 25 only mark the page", 0x889, {Header(0x889), RawRow(8, 24, "x")}, {}, 1},
      {"rows 26 to 31 are ignored",
       0x889,
       {Header(0x889), RawRow(8, 26, "x"), RawRow(8, 31, "y")},
       {},
       0},
      {"rows after another page of the magazine are not ours",
       0x889,
       {Header(0x889), Row(8, 22, "A"), Header(0x888), Row(8, 23, "B"), Header(0x889)},
       {{"A", 21}},
       0},
      {"rows of another magazine are not ours",
       0x889,
       {Header(0x889), Header(0x100), Row(1, 22, "X"), Header(0x889)},
       {},
       0},
      {"our magazine keeps sending while another has a header",
       0x889,
       {Header(0x889), Header(0x100), Row(8, 22, "Y"), Header(0x889)},
       {{"Y", 21}},
       0},
      {"magazine 8 goes on air as 0",
       0x888,
       {Header(0x888), Row(8, 22, "Eight"), Header(0x888)},
       {{"Eight", 21}},
       0},
      {"rows of page 0x889 are not page 0x888",
       0x888,
       {Header(0x888), Header(0x889), Row(8, 22, "No"), Header(0x888)},
       {},
       0},
      {"wanted page in magazine 1",
       0x150,
       {Header(0x150), Row(1, 23, "One"), Header(0x888)},
       {{"One", 22}},
       0},
  };
  for (const CycleCase& c : cases) {
    LogCapture capture;
    Decoder d(c.wanted);
    FeedUnits(d.txt, c.units);
    EXPECT_EQ(d.shown, c.shown) << c.name;
    EXPECT_EQ(d.txt.Receiving(), c.receiving) << c.name;
    EXPECT_EQ(capture.Text().find("Biterror"), std::string::npos) << c.name;
  }
}

TEST(TXTSubtitleRows, BoxedTextIsExtracted) {
  struct Case {
    const char* name;
    std::string raw;
    std::vector<Shown> shown;
  };
  const std::string pad(40, ' ');
  const std::vector<Case> cases = {
      {"plain", std::string("\x0D\x0B\x0BHello\x0A", 9), {{"Hello", 0}}},
      {"attributes inside become spaces, leading spaces go",
       std::string("\x0D\x07\x0B\x0B  Hi\x07there\x0A", 15),
       {{"Hi there", 0}}},
      {"start boxes before the double height", std::string("\x0B\x0B\x0DHello\x0A", 9), {}},
      {"only one start box", std::string("\x0D\x0B Hello\x0A", 9), {}},
      {"start boxes must both follow the double height", std::string("\x0B\x0D\x0BHello\x0A", 9),
       {}},
      {"nothing but spaces in the box", std::string("\x0D\x0B\x0B     \x0A", 9), {}},
      {"end box straight away", std::string("\x0D\x0B\x0B\x0A", 4), {}},
      {"trailing attributes stay as spaces", std::string("\x0D\x0B\x0B" "ab\x01\x02\x0A", 8),
       {{"ab  ", 0}}},
      {"text to the end of the row",
       std::string("\x0D\x0B\x0B", 3) + "abc",
       {{"abc" + std::string(34, ' '), 0}}},
      {"double height later in the row", std::string("   \x0D\x0B\x0B\x7B\x7E\x0A", 9),
       {{"\x7B\x7E", 0}}},
      {"blank row", pad, {}},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    Decoder d(0x889);
    FeedUnits(d.txt, {Header(0x889), RawRow(8, 1, c.raw), Header(0x889)});
    EXPECT_EQ(d.shown, c.shown) << c.name;
  }
}

TEST(TXTSubtitleLayout, MissingSettingsOrScreenDoNotCrash) {
  LogCapture capture;
  TXTSubtitle txt;
  txt.configure(0x888);  // neither settings nor screen
  EXPECT_EQ(txt.FontSize(), 28);
  EXPECT_EQ(txt.drawRow("x", 22), 1);
  txt.clearPage();
  EXPECT_EQ(txt.stop(), 0);
  EXPECT_TRUE(txt.isAreaFree());
  Screen screen;
  txt.frameBuffer = &screen.fb;
  txt.configure(0x888);
  EXPECT_GT(txt.LineHeight(), 20);
  EXPECT_EQ(txt.drawRow("x", 22), 0);
  EXPECT_FALSE(screen.UsedRows().empty());
}

// Rows 22 and 23 share the bottom slot: the later one clears the earlier.
TEST(TXTSubtitleLayout, RowTwentyThreeAfterTwentyTwoForcesAClear) {
  LogCapture capture;
  Layout l;
  l.Configure();
  FeedUnits(l.txt, {Header(0x889), Row(8, 22, "First"), Row(8, 23, "Second"), Header(0x889)});
  const std::string text = capture.Text();
  const size_t forced = text.find("ZUVA: Forced CLEAR, then draw!\nZUVA: CLEAR Subtitle page.\n");
  ASSERT_NE(forced, std::string::npos);
  EXPECT_LT(text.find("Subtitle@22:First\n"), forced);
  EXPECT_GT(text.find("Subtitle@23:Second\n"), forced);
  const auto copies = l.screen.fb.Only("copy");
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0].y, copies[1].y);
  EXPECT_EQ(l.txt.LastDrawnRow(), 22);
}

}  // namespace
