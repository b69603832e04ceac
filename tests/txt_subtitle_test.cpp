#include "teletext/txt_subtitle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "display/frame_buffer.h"
#include "tsgen/teletext_encoder.h"

namespace {

using tsgen::TeletextHeader;
using tsgen::TeletextUnit;

// ---------------------------------------------------------------------------
// A frame buffer that records what the decoder asks of it, with real pixel
// memory for the screen so the collision check reads what was put there.

class RecordingFrameBuffer : public FrameBuffer {
 public:
  struct Call {
    std::string op;
    int x = 0, y = 0, w = 0, h = 0;
    uint32_t colour = 0;
    std::string text;
  };

  explicit RecordingFrameBuffer(int bpp) : bpp_(bpp), screen_(720 * 576 * Bytes(), 0) {}

  int Bytes() const { return bpp_ == 32 ? 4 : 1; }

  // Puts a colour on the screen as the framebuffer stores it.
  void Plant(int x, int y, uint32_t colour) {
    uint8_t* p = &screen_[(static_cast<size_t>(y) * 720 + x) * Bytes()];
    if (bpp_ == 32) {
      p[0] = static_cast<uint8_t>(colour >> 8);
      p[1] = static_cast<uint8_t>(colour >> 16);
      p[2] = static_cast<uint8_t>(colour >> 24);
      p[3] = static_cast<uint8_t>(colour);
    } else {
      p[0] = static_cast<uint8_t>(colour);
    }
  }

  std::vector<Call> calls;
  int lockDepth = 0;
  int maxLockDepth = 0;
  int unlockedDrawing = 0;  // drawing calls made without the lock

  int GetBitsPerPixel() override { return bpp_; }
  int ReadPixel(int x, int y, uint8_t* out) override {
    ++reads;
    EXPECT_TRUE(x >= 0 && x < 720 && y >= 0 && y < 576) << x << "," << y;
    if (x < 0 || x >= 720 || y < 0 || y >= 576) return -1;
    std::memcpy(out, &screen_[(static_cast<size_t>(y) * 720 + x) * Bytes()], Bytes());
    return 0;
  }
  void GetTextSize(int size, const std::string& text, int& w, int& h, int& d) override {
    calls.push_back({"size", 0, 0, 0, 0, 0, text});
    if (text == "[]|{}\\yYjJ") {
      w = 100;
      h = size + 2;  // 30 at the default size
      d = 7;
    } else {
      w = 10 * static_cast<int>(text.size());
      h = 20;
      d = 5;
    }
  }
  int ClearScreen() override { return FillRect(0, 0, 720, 576, 0); }
  int FillRect(int x, int y, int w, int h, uint32_t colour) override {
    Drawing();
    calls.push_back({backBuffer_ ? "box" : "fill", x, y, w, h, colour, ""});
    if (!backBuffer_) {
      for (int row = y; row < y + h; ++row) {
        for (int col = std::max(0, x); col <= std::min(719, x + w); ++col) Plant(col, row, colour);
      }
    }
    return 0;
  }
  int RenderText(const std::string& text, int x, int y, int width, int align, int size,
                 uint32_t colour) override {
    Drawing();
    Call c{"text", x, y, width, size, colour, text};
    EXPECT_EQ(align, 0);
    calls.push_back(c);
    return 0;
  }
  bool AllocBackBuffer(int rows, uint32_t colour) override {
    Drawing();
    EXPECT_EQ(colour, 0u);
    calls.push_back({"alloc", 0, 0, 0, rows, colour, ""});
    rows_ = rows;
    return true;
  }
  bool UseBackBuffer(bool on) override {
    backBuffer_ = on && rows_ > 0;
    return true;
  }
  bool CopyBackBuffer(int y) override {
    Drawing();
    calls.push_back({"copy", 0, y, 0, rows_, 0, ""});
    // The band lands on screen; mark it on the probe column with our text
    // colour, as drawn glyphs would.
    for (int row = y; row < y + rows_; ++row) Plant(360, row, 0xFFFFFFFF);
    return true;
  }
  bool FreeBackBuffer() override {
    backBuffer_ = false;
    rows_ = 0;
    return true;
  }
  int Lock() override {
    ++lockDepth;
    maxLockDepth = std::max(maxLockDepth, lockDepth);
    return 0;
  }
  int Unlock() override {
    --lockDepth;
    return 0;
  }

  std::vector<Call> Only(const std::string& op) const {
    std::vector<Call> out;
    for (const Call& c : calls) {
      if (c.op == op) out.push_back(c);
    }
    return out;
  }

  int reads = 0;

 private:
  void Drawing() {
    if (lockDepth != 1) ++unlockedDrawing;
  }

  int bpp_;
  std::vector<uint8_t> screen_;
  bool backBuffer_ = false;
  int rows_ = 0;
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

TeletextUnit RawRow(int magazine, int row, const std::string& raw) {
  return tsgen::EncodeRowUnit(magazine, row, raw);
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

TEST(TXTSubtitleTables, ReversalAndParityForEveryByte) {
  for (int v = 0; v < 256; ++v) {
    int reversed = 0;
    for (int n = 0; n < 8; ++n) reversed |= ((v >> n) & 1) << (7 - n);
    EXPECT_EQ(TXTSubtitle::ReverseBits(static_cast<uint8_t>(v)), reversed) << v;
    const bool odd = std::bitset<8>(static_cast<unsigned>(v)).count() % 2 == 1;
    EXPECT_EQ(TXTSubtitle::OddParity(static_cast<uint8_t>(v)), odd ? (v & 0x7F) : 0x20) << v;
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

TEST(TXTSubtitleCycle, EraseClearsBothPagesAndTheScreen) {
  RecordingFrameBuffer fb(32);
  LogCapture capture;
  Decoder d(0x889, &fb);
  FeedUnits(d.txt, {Header(0x889), Row(8, 22, "A"), Header(0x889)});
  ASSERT_EQ(d.shown.size(), 1u);
  ASSERT_EQ(fb.Only("copy").size(), 1u);
  fb.calls.clear();
  // Erase header alone, no rows after it: the screen is cleared at once.
  FeedUnits(d.txt, {Header(0x889, true)});
  const auto fills = fb.Only("fill");
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].y, 500);
  EXPECT_EQ(fills[0].h, 40);
  for (int i = 0; i < TXTSubtitle::kRows; ++i) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.txt.DisplayRow(i)), 40),
              std::string(40, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.txt.ReceiveRow(i)), 40),
              std::string(40, ' '));
  }
  EXPECT_EQ(d.txt.LastDrawnRow(), -1);
  EXPECT_NE(capture.Text().find("ZUVA: CLEAR Subtitle page.\nZUVA: highestRow=500\n"
                                "ZUVA: lowestRow=540\n"),
            std::string::npos);
}

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

TEST(TXTSubtitleCycle, DamagedEraseBitCountsAsErase) {
  RecordingFrameBuffer fb(32);
  LogCapture capture;
  Decoder d(0x889, &fb);
  FeedUnits(d.txt, {Header(0x889), Row(8, 22, "A"), Header(0x889)});
  fb.calls.clear();
  TeletextUnit h = Header(0x889);
  tsgen::InjectBitErrors(h, 9, 0x06);  // the S2/C4 byte, two bits
  FeedUnits(d.txt, {h, Header(0x100)});
  EXPECT_EQ(fb.Only("fill").size(), 1u);
  EXPECT_EQ(d.shown.size(), 1u);
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
// Row text.

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

TEST(TXTSubtitleRows, EveryRowFromOneToTwentyThreeIsExamined) {
  LogCapture capture;
  Decoder d(0x889);
  std::vector<TeletextUnit> units = {Header(0x889)};
  for (int r = 23; r >= 1; --r) units.push_back(Row(8, r, "r" + std::to_string(r)));
  units.push_back(Header(0x889));
  FeedUnits(d.txt, units);
  ASSERT_EQ(d.shown.size(), 23u);
  for (int i = 0; i < 23; ++i) EXPECT_EQ(d.shown[i], (Shown{"r" + std::to_string(i + 1), i}));
}

// ---------------------------------------------------------------------------
// Layout.

struct Layout {
  explicit Layout(int bpp = 32, int format = 4) : fb(bpp) {
    txt.frameBuffer = &fb;
    txt.config = &config;
    txt.videoFormat = format;
  }
  void Configure(int page = 0x889) {
    txt.configure(page);
    fb.calls.clear();
  }
  Config config;
  RecordingFrameBuffer fb;
  TXTSubtitle txt;
};

TEST(TXTSubtitleLayout, SettingsByPictureFormat) {
  struct Case {
    int format;
    const char* log;
    int fontSize, rowSpace, startY, lineHeight, descent;
  } cases[] = {
      // 4:3 reads FontSize 24, RowSpace 3, StartYPos -20, ExtraYSize 5 (half is 2).
      {4, "ZUVA: Drawing using 4:3 settings...\n", 24, 3, -20, 24 + 2 + 2, 7 + 3 + 2},
      // Anything else reads the Wide keys: 32, 1, 10, ExtraYSize -3 (half is -1).
      {16, "ZUVA: Drawing using 16:9 settings...\n", 32, 1, 10, 32 + 2 - 1, 7 + 3 - 1},
      {0, "ZUVA: Drawing using 16:9 settings...\n", 32, 1, 10, 32 + 2 - 1, 7 + 3 - 1},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    Layout l(32, c.format);
    l.config.set("FontSize", "24");
    l.config.set("RowSpace", "3");
    l.config.set("StartYPos", "-20");
    l.config.set("ExtraYSize", "5");
    l.config.set("WideFontSize", "32");
    l.config.set("WideRowSpace", "1");
    l.config.set("WideStartYPos", "10");
    l.config.set("WideExtraYSize", "-3");
    l.config.set("TextColor", "0x00FF00Ff");
    l.txt.configure(0x889);
    EXPECT_EQ(l.txt.FontSize(), c.fontSize);
    EXPECT_EQ(l.txt.RowSpace(), c.rowSpace);
    EXPECT_EQ(l.txt.StartY(), c.startY);
    EXPECT_EQ(l.txt.LineHeight(), c.lineHeight);
    EXPECT_EQ(l.txt.Descent(), c.descent);
    EXPECT_EQ(l.txt.OutlineSize(), 2);
    EXPECT_EQ(l.txt.HighestRow(), 576);
    EXPECT_EQ(l.txt.LowestRow(), 0);
    const std::string text = capture.Text();
    EXPECT_NE(text.find(c.log), std::string::npos) << text;
    EXPECT_NE(text.find("ZUVA: Drawing TextColor: ff00ff\nZUVA: Drawing OutlineColor: ff\n"
                        "ZUVA: Drawing BackgroundColor: 44\n"),
              std::string::npos)
        << text;
    const auto sizes = l.fb.Only("size");
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].text, "[]|{}\\yYjJ");
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
  RecordingFrameBuffer fb(32);
  txt.frameBuffer = &fb;
  txt.configure(0x888);
  EXPECT_EQ(txt.LineHeight(), 30);
  EXPECT_EQ(txt.drawRow("x", 22), 0);
}

TEST(TXTSubtitleLayout, VerticalSlotByRow) {
  // Defaults: line height 30, descent 10, row space 5: pitch 45, band 40.
  LogCapture capture;
  Layout l;
  l.Configure();
  for (int row = 1; row <= 23; ++row) {
    const int k = row >= 21 ? 0 : (row + 1) / 2 - 11;
    l.fb.calls.clear();
    ASSERT_EQ(l.txt.drawRow("t", row - 1), 0) << row;
    const auto copies = l.fb.Only("copy");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].y, 500 + k * 45) << "row " << row;
    EXPECT_EQ(copies[0].h, 40);
    const auto allocs = l.fb.Only("alloc");
    ASSERT_EQ(allocs.size(), 1u);
    EXPECT_EQ(allocs[0].h, 40);
    // Text on the band's baseline.
    EXPECT_EQ(l.fb.Only("text").back().y, 30);
    l.txt.clearPage();
  }
  EXPECT_EQ(l.txt.HighestRow(), 500 - 10 * 45);
  EXPECT_EQ(l.txt.LowestRow(), 540);
  EXPECT_EQ(l.fb.maxLockDepth, 1);
  EXPECT_EQ(l.fb.unlockedDrawing, 0);
}

TEST(TXTSubtitleLayout, RowsTwentyAndTwentyTwoArePitchApart) {
  struct Case {
    const char* rowSpace;
    int pitch;
  } cases[] = {{"5", 45}, {"0", 40}, {"12", 52}};
  for (const Case& c : cases) {
    LogCapture capture;
    Layout l;
    l.config.set("RowSpace", c.rowSpace);
    l.Configure();
    std::vector<Shown> shown;
    l.txt.SetRowObserver(Collect, &shown);
    FeedUnits(l.txt, {Header(0x889), Row(8, 20, "Upper"), Row(8, 22, "Lower"), Header(0x889)});
    const auto copies = l.fb.Only("copy");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[1].y - copies[0].y, c.pitch);
    EXPECT_EQ(copies[1].y, 500);
    EXPECT_EQ(capture.Text().find("Forced CLEAR"), std::string::npos);
  }
}

TEST(TXTSubtitleLayout, RowTwentyThreeAfterTwentyTwoForcesAClear) {
  LogCapture capture;
  Layout l;
  l.Configure();
  FeedUnits(l.txt, {Header(0x889), Row(8, 22, "First"), Row(8, 23, "Second"), Header(0x889)});
  std::vector<std::string> ops;
  for (const auto& c : l.fb.calls) {
    if (c.op != "size") ops.push_back(c.op + "@" + std::to_string(c.y));
  }
  // Draw row 22, clear its band, draw row 23 in the same slot.
  const std::vector<std::string> band = {"alloc@0", "box@0", "text@28", "text@32", "text@28",
                                         "text@32", "text@30", "text@30", "text@32", "text@28",
                                         "text@30", "copy@500"};
  std::vector<std::string> want = band;
  want.push_back("fill@500");
  want.insert(want.end(), band.begin(), band.end());
  EXPECT_EQ(ops, want);
  const std::string text = capture.Text();
  const size_t first = text.find("Subtitle@22:First\n");
  const size_t forced = text.find("ZUVA: Forced CLEAR, then draw!\nZUVA: CLEAR Subtitle page.\n");
  const size_t second = text.find("Subtitle@23:Second\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(forced, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, forced);
  EXPECT_LT(forced, second);
  EXPECT_EQ(l.txt.LastDrawnRow(), 22);
  EXPECT_EQ(l.fb.maxLockDepth, 1);
  EXPECT_EQ(l.fb.unlockedDrawing, 0);
}

TEST(TXTSubtitleLayout, BoxOutlineAndCentring) {
  struct Case {
    const char* useBackground;
    const char* outlineSize;  // nullptr: key absent
    const char* centre;
    bool box;
    std::vector<std::pair<int, int>> outline;  // offsets in drawing order
    int x, width;
  };
  const std::vector<std::pair<int, int>> four = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
  const std::vector<std::pair<int, int>> eight = {{-2, -2}, {-2, 2}, {2, -2}, {2, 2},
                                                  {2, 0},   {-2, 0}, {0, 2},  {0, -2}};
  const std::vector<std::pair<int, int>> eightOf3 = {{-3, -3}, {-3, 3}, {3, -3}, {3, 3},
                                                     {3, 0},   {-3, 0}, {0, 3},  {0, -3}};
  // "Hello" measures 50 wide: centred at (720 - 50) / 2 + 1.
  const std::vector<Case> cases = {
      {"2", nullptr, "1", true, eight, 336, 720},   {"1", nullptr, "1", true, {}, 336, 720},
      {"0", nullptr, "1", false, eight, 336, 720},  {"0", "1", "1", false, four, 336, 720},
      {"2", "3", "1", true, eightOf3, 336, 720},    {"2", "2", "0", true, eight, 150, 570},
      {"3", "1", "0", false, four, 150, 570},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    Layout l;
    l.config.set("UseBackground", c.useBackground);
    if (c.outlineSize != nullptr) l.config.set("OutlineSize", c.outlineSize);
    l.config.set("CenterText", c.centre);
    l.config.set("OutlineColor", "11223344");
    l.Configure();
    ASSERT_EQ(l.txt.drawRow("Hello", 22), 0);
    const std::string name = std::string("bg ") + c.useBackground + " centre " + c.centre;
    const auto boxes = l.fb.Only("box");
    if (c.box) {
      ASSERT_EQ(boxes.size(), 1u) << name;
      EXPECT_EQ(boxes[0].x, c.x - 5) << name;  // descent 10, half to the left
      EXPECT_EQ(boxes[0].y, 0);
      EXPECT_EQ(boxes[0].w, 60);
      EXPECT_EQ(boxes[0].h, 40);
      EXPECT_EQ(boxes[0].colour, 0x00000044u);
    } else {
      EXPECT_TRUE(boxes.empty()) << name;
    }
    const auto texts = l.fb.Only("text");
    ASSERT_EQ(texts.size(), c.outline.size() + 1) << name;
    for (size_t n = 0; n < c.outline.size(); ++n) {
      EXPECT_EQ(texts[n].x, c.x + c.outline[n].first) << name << " copy " << n;
      EXPECT_EQ(texts[n].y, 30 + c.outline[n].second) << name << " copy " << n;
      EXPECT_EQ(texts[n].colour, 0x11223344u);
      EXPECT_EQ(texts[n].w, c.width);
    }
    EXPECT_EQ(texts.back().x, c.x) << name;
    EXPECT_EQ(texts.back().y, 30);
    EXPECT_EQ(texts.back().w, c.width);
    EXPECT_EQ(texts.back().h, 28);  // font size
    EXPECT_EQ(texts.back().colour, 0xFFFFFFFFu);
    EXPECT_EQ(texts.back().text, "Hello");
  }
}

TEST(TXTSubtitleLayout, BandsOffTheScreenAreRefused) {
  struct Case {
    const char* key;
    const char* value;
    int row;
    int result;
  } cases[] = {
      {"StartYPos", "0", 23, 0},      {"StartYPos", "36", 23, 0},
      {"StartYPos", "37", 23, 1},     {"StartYPos", "-100000", 23, 1},
      {"StartYPos", "-51", 1, 1},     {"StartYPos", "-50", 1, 0},     {"ExtraYSize", "-90", 23, 1},
      {"ExtraYSize", "2000", 23, 1},  {"FontSize", "0", 23, 0},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    Layout l;
    l.config.set(c.key, c.value);
    l.Configure();
    EXPECT_EQ(l.txt.drawRow("x", c.row - 1), c.result) << c.key << " " << c.value;
    if (c.result == 1) {
      EXPECT_TRUE(l.fb.Only("copy").empty());
      EXPECT_NE(capture.Text().find("outside the screen"), std::string::npos);
    }
    l.txt.clearPage();  // must stay on the screen as well
    for (const auto& f : l.fb.Only("fill")) {
      EXPECT_GE(f.y, 0);
      EXPECT_LE(f.y + f.h, 576);
    }
  }
}

// ---------------------------------------------------------------------------
// Collision check.

TEST(TXTSubtitleCollision, ForeignPixelsStopDrawingAndClearing) {
  struct Case {
    int bpp;
    uint32_t pixel;  // as stored colour value (low byte at 8 bpp)
    int row;
    bool foreign;
    const char* log;
  };
  const std::vector<Case> cases = {
      {32, 0x12345678, 510, true, nullptr},
      {32, 0xFFFFFFFF, 510, false, nullptr},  // our text colour
      {32, 0x000000FF, 520, false, nullptr},  // our outline
      {32, 0x00000044, 520, false, nullptr},  // our box
      {32, 0x12345600, 510, false, nullptr},  // transparent
      {32, 0x12345678, 511, false, nullptr},  // odd rows are not looked at
      {32, 0x12345678, 100, false, nullptr},  // outside the band once one is drawn
      {8, 0x13, 100, true, "ZUVA: Check collision@(360, 100): Color at this pixel:13\n"},
      {8, 0x44, 100, false, nullptr},
      {8, 0xFF, 100, false, nullptr},
      {8, 0x13, 101, false, nullptr},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.bpp) + " bpp pixel " + std::to_string(c.pixel) +
                             " row " + std::to_string(c.row);
    LogCapture capture;
    Layout l(c.bpp);
    l.Configure();
    ASSERT_EQ(l.txt.drawRow("first", 22), 0) << name;  // band 500..539
    l.fb.Plant(360, c.row, c.pixel);
    l.fb.calls.clear();
    capture.Clear();

    EXPECT_EQ(l.txt.isAreaFree(), !c.foreign) << name;
    EXPECT_EQ(l.txt.drawRow("second", 22), c.foreign ? 1 : 0) << name;
    if (c.foreign) {
      EXPECT_TRUE(l.fb.Only("copy").empty()) << name;
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
      EXPECT_TRUE(l.fb.Only("fill").empty()) << name;
      Feed(l.txt, {});
      EXPECT_TRUE(l.txt.ClearPending()) << name;
      l.fb.Plant(360, c.row, 0);
      Feed(l.txt, {0x00, 0x00, 0x01});
      EXPECT_FALSE(l.txt.ClearPending()) << name;
      const auto fills = l.fb.Only("fill");
      ASSERT_EQ(fills.size(), 1u) << name;
      EXPECT_EQ(fills[0].y, 500);
      EXPECT_EQ(fills[0].h, 40);
    }
  }
}

TEST(TXTSubtitleCollision, BeforeAnyLineTheWholeColumnIsChecked) {
  struct Case {
    int bpp, row;
    bool free;
  } cases[] = {{32, 0, false}, {32, 574, false}, {32, 575, true}, {8, 0, false}, {8, 574, false}};
  for (const Case& c : cases) {
    LogCapture capture;
    Layout l(c.bpp);
    l.Configure();
    l.fb.Plant(360, c.row, 0x22222222);
    EXPECT_EQ(l.txt.isAreaFree(), c.free) << c.bpp << " " << c.row;
    EXPECT_EQ(l.fb.reads, c.free ? 288 : c.row / 2 + 1);
    // A clear with nothing drawn yet wipes the whole screen.
    l.fb.Plant(360, c.row, 0);
    l.txt.clearPage();
    const auto fills = l.fb.Only("fill");
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].y, 0);
    EXPECT_EQ(fills[0].h, 576);
  }
}

TEST(TXTSubtitleCollision, ADrawnLineCancelsThePendingClear) {
  LogCapture capture;
  Layout l;
  l.Configure();
  ASSERT_EQ(l.txt.drawRow("one", 22), 0);
  l.fb.Plant(360, 502, 0x10101010);
  l.txt.stop();
  EXPECT_TRUE(l.txt.ClearPending());
  l.fb.Plant(360, 502, 0);
  ASSERT_EQ(l.txt.drawRow("two", 22), 0);
  EXPECT_FALSE(l.txt.ClearPending());
}

// ---------------------------------------------------------------------------
// The broadcast sample: the subtitle page read straight from the recording.

std::vector<std::vector<uint8_t>> ReadPES(const std::string& path, int pid) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> ts((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> current;
  for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
    const uint8_t* p = &ts[off];
    if (p[0] != 0x47) continue;
    if ((((p[1] & 0x1F) << 8) | p[2]) != pid) continue;
    const bool start = (p[1] & 0x40) != 0;
    const int control = (p[3] >> 4) & 3;
    size_t pos = 4;
    if (control == 2) continue;  // adaptation only
    if (control == 3) pos += 1 + p[4];
    if (pos >= 188) continue;
    if (start) {
      if (!current.empty()) out.push_back(current);
      current.clear();
    }
    current.insert(current.end(), p + pos, p + 188);
  }
  if (!current.empty()) out.push_back(current);
  // Trim each packet to its PES_packet_length.
  for (auto& pes : out) {
    if (pes.size() >= 6) {
      const size_t length = (static_cast<size_t>(pes[4]) << 8 | pes[5]) + 6;
      if (length < pes.size()) pes.resize(length);
    }
  }
  return out;
}

// The recording's French letters arrive as the teletext national codes.
std::string ToNationalCodes(const std::string& utf8) {
  static const std::pair<const char*, char> kMap[] = {
      {"é", 0x23}, {"ï", 0x24}, {"à", 0x40}, {"ë", 0x5B}, {"ê", 0x5C}, {"ù", 0x5D}, {"î", 0x5E},
      {"è", 0x60}, {"â", 0x7B}, {"ô", 0x7C}, {"û", 0x7D}, {"ç", 0x7E}};
  std::string out;
  for (size_t n = 0; n < utf8.size();) {
    bool mapped = false;
    for (const auto& m : kMap) {
      const size_t len = std::strlen(m.first);
      if (utf8.compare(n, len, m.first) == 0) {
        out.push_back(m.second);
        n += len;
        mapped = true;
        break;
      }
    }
    if (!mapped) out.push_back(utf8[n++]);
  }
  return out;
}

std::vector<std::string> ReferenceLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  int state = 0;  // 0 number, 1 times, 2 text
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      state = 0;
      continue;
    }
    if (state < 2) {
      ++state;
      continue;
    }
    lines.push_back(ToNationalCodes(line));
  }
  return lines;
}

TEST(TXTSubtitleSample, BroadcastPageMatchesTheReference) {
  const auto packets = ReadPES(ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.ts", 0x42C);
  ASSERT_GT(packets.size(), 100u);
  const auto reference = ReferenceLines(ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.reference.srt");
  ASSERT_EQ(reference.size(), 18u);

  LogCapture capture;
  Decoder d(0x889);
  for (const auto& p : packets) {
    EXPECT_EQ(p.size(), 368u);
    Feed(d.txt, p);
  }
  // Two-line subtitles on rows 20 and 22, the text exactly as boxed.
  std::vector<std::string> seen;
  for (size_t n = 0; n < d.shown.size(); ++n) {
    seen.push_back(d.shown[n].text);
    EXPECT_EQ(d.shown[n].row, n % 2 == 0 ? 19 : 21) << d.shown[n];
  }
  EXPECT_EQ(seen, reference);
  EXPECT_EQ(capture.Text().find("Biterror"), std::string::npos);
}

}  // namespace
