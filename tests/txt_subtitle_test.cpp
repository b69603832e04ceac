#include "teletext/txt_subtitle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "support/sim_screen.h"
#include "tsgen/teletext_encoder.h"

namespace {

using tsgen::TeletextUnit;

// The real FrameBuffer that also records where the decoder filled bands, and
// checks that it never reads a pixel off the screen.
struct SpyFrameBuffer : FrameBuffer {
  using FrameBuffer::FrameBuffer;
  int ReadPixel(int x, int y, uint8_t* out) override {
    EXPECT_TRUE(x >= 0 && x < 720 && y >= 0 && y < 576) << x << "," << y;
    return FrameBuffer::ReadPixel(x, y, out);
  }
  int FillRect(int x, int y, int w, int h, uint32_t colour) override {
    fills.push_back({y, h});
    return FrameBuffer::FillRect(x, y, w, h, colour);
  }
  std::vector<std::pair<int, int>> fills;  // top, height
};

using Shown = std::pair<std::string, int>;  // text, row index

// Feeds one PES packet held in a copy of exactly its size, so reading past
// it is caught by the address sanitizer.
void Feed(TXTSubtitle& txt, std::vector<uint8_t> bytes) {
  EXPECT_EQ(txt.processPES(PESPacket{0, bytes.data(), static_cast<uint32_t>(bytes.size())}), 0u);
}

void FeedUnits(TXTSubtitle& txt, const std::vector<TeletextUnit>& units) {
  for (const auto& p : tsgen::PackTeletextPES(units, 90000)) Feed(txt, p);
}

TeletextUnit Header(int page, bool erase = false) {
  tsgen::TeletextHeader h;
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

// A decoder without a screen that collects the rows it would show; the log
// is captured for its lifetime.
struct Decoder {
  explicit Decoder(int page) {
    txt.config = &config;
    txt.configure(page);
    txt.SetRowObserver(
        [](const std::string& text, int row, void* to) {
          static_cast<std::vector<Shown>*>(to)->push_back({text, row});
        },
        &shown);
  }
  LogCapture capture;
  Config config;
  TXTSubtitle txt;
  std::vector<Shown> shown;
};

TEST(TXTSubtitleTables, HammingDecodesToNearestCodewordOrRefuses) {
  constexpr uint8_t kCodewords[16] = {0x15, 0x02, 0x49, 0x5E, 0x64, 0x73, 0x38, 0x2F,
                                      0xD0, 0xC7, 0x8C, 0x9B, 0xA1, 0xB6, 0xFD, 0xEA};
  for (int v = 0; v < 256; ++v) {
    int best = 99, data = -1;
    for (int n = 0; n < 16; ++n) {
      const int d = static_cast<int>(std::bitset<8>(v ^ kCodewords[n]).count());
      if (d < best) best = d, data = n;
    }
    EXPECT_EQ(TXTSubtitle::Hamming84(static_cast<uint8_t>(v)), best <= 1 ? data : 0xFF) << v;
  }
}

TEST(TXTSubtitleCycle, OnlyWholeUnitsAreRead) {
  // A 184-byte packet: the PES header unit and three units after it.
  const auto packets =
      tsgen::PackTeletextPES({Header(0x889), Row(8, 22, "Three"), Header(0x889)}, 0, 3);
  ASSERT_EQ(packets.size(), 1u);
  ASSERT_EQ(packets[0].size(), 184u);
  for (size_t cut : {0, 1, 45, 46, 184 - 45, 184}) {  // bytes dropped from the end
    Decoder d(0x889);
    Feed(d.txt, std::vector<uint8_t>(packets[0].begin(), packets[0].end() - long(cut)));
    EXPECT_EQ(d.shown.size(), cut == 0 ? 1u : 0u) << cut;
  }
  Decoder d(0x889);
  PESPacket empty;
  empty.size = 1000;  // a size without data must not be trusted
  EXPECT_EQ(d.txt.processPES(empty), 0u);
  EXPECT_EQ(d.txt.clear(0), 0u);
}

TEST(TXTSubtitleCycle, PagesAreShownAtTheNextHeaderAndBitErrorsCaught) {
  struct Case {
    const char* name;
    int wanted;
    std::vector<TeletextUnit> units;
    std::vector<Shown> shown;
    int receiving;
    const char* biterror = nullptr;  // the line logged
  };
  // A copy of `unit` with the bits of `mask` flipped in its byte `offset` as transmitted.
  const auto damaged = [](TeletextUnit unit, int offset, uint8_t mask) {
    tsgen::InjectBitErrors(unit, offset, mask);
    return unit;
  };
  const char* packet = "ZUVA: TXT Biterror in Packet\n";
  const char* page = "ZUVA: TXT Biterror in Page\n";
  // Units other than subtitle and non-subtitle data, or of another length.
  TeletextUnit wrongId = Row(8, 20, "Wrong id"), wrongLength = Row(8, 21, "Wrong length");
  wrongId[0] = 0x04;
  wrongLength[1] = 0x2B;
  const TeletextUnit other = tsgen::EncodeRowUnit(8, 23, tsgen::SubtitleRowText("Data"),
                                                  tsgen::kTeletextNonSubtitleUnit);
  const std::vector<Case> cases = {
      {"not before the next header", 0x889, {Header(0x889), Row(8, 22, "Hello")}, {}, 1},
      {"at a header of another magazine", 0x889,
       {Header(0x889), Row(8, 22, "Hello"), Row(8, 23, "World"), Header(0x100)},
       {{"Hello", 21}, {"World", 22}}, 0},
      {"rows not sent again keep their text", 0x889,
       {Header(0x889), Row(8, 20, "A"), Row(8, 22, "B"), Header(0x889), Row(8, 22, "C"),
        Header(0x889)},
       {{"A", 19}, {"B", 21}, {"A", 19}, {"C", 21}}, 0},
      {"erase then new rows", 0x889,
       {Header(0x889), Row(8, 22, "A"), Header(0x889, true), Row(8, 23, "B"), Header(0x100)},
       {{"A", 21}, {"B", 22}}, 0},
      {"rows 24 and 25 only mark the page", 0x889, {Header(0x889), RawRow(8, 24, "x")}, {}, 1},
      {"rows 26 to 31 are ignored", 0x889,
       {Header(0x889), RawRow(8, 26, "x"), RawRow(8, 31, "y")}, {}, 0},
      {"rows after another page of the magazine", 0x889,
       {Header(0x889), Row(8, 22, "A"), Header(0x888), Row(8, 23, "B"), Header(0x889)},
       {{"A", 21}}, 0},
      {"rows of another magazine", 0x889,
       {Header(0x889), Header(0x100), Row(1, 22, "X"), Header(0x889)}, {}, 0},
      {"our magazine sends on while another has a header", 0x889,
       {Header(0x889), Header(0x100), Row(8, 22, "Y"), Header(0x889)}, {{"Y", 21}}, 0},
      {"magazine 8 goes on air as 0", 0x888,
       {Header(0x888), Row(8, 22, "Eight"), Header(0x888)}, {{"Eight", 21}}, 0},
      {"wanted page in magazine 1", 0x150, {Header(0x150), Row(1, 23, "One"), Header(0x888)},
       {{"One", 22}}, 0},
      {"unit ids and lengths", 0x889, {Header(0x889), other, wrongId, wrongLength, Header(0x889)},
       {{"Data", 22}}, 0},
      {"a single bit error is corrected", 0x889,
       {Header(0x889), damaged(Row(8, 22, "Hi"), 4, 0x10), Header(0x100)}, {{"Hi", 21}}, 0},
      {"a parity error in the text is a space", 0x889,
       {Header(0x889), damaged(Row(8, 22, "Hi"), 6 + 20, 0x04), Header(0x100)}, {{"H ", 21}}, 0},
      {"double errors in the address lose the row", 0x889,
       {Header(0x889), damaged(Row(8, 22, "Hi"), 4, 0x11), Header(0x100)}, {}, 0, packet},
      {"or in the row number", 0x889,
       {Header(0x889), damaged(Row(8, 22, "Hi"), 5, 0x41), Header(0x100)}, {}, 0, packet},
      // The page is complete before the damaged page number is read.
      {"double errors in the page units of a header", 0x889,
       {Header(0x889), Row(8, 22, "Hi"), damaged(Header(0x889), 6, 0x03)}, {{"Hi", 21}}, 0, page},
      {"or in its tens", 0x889,
       {Header(0x889), Row(8, 22, "Hi"), damaged(Header(0x889), 7, 0xC0)}, {{"Hi", 21}}, 0, page},
  };
  for (const Case& c : cases) {
    Decoder d(c.wanted);
    FeedUnits(d.txt, c.units);
    EXPECT_EQ(d.shown, c.shown) << c.name;
    EXPECT_EQ(d.txt.Receiving(), c.receiving) << c.name;
    const char* log = c.biterror != nullptr ? c.biterror : "Biterror";
    EXPECT_EQ(d.capture.Text().find(log) != std::string::npos, c.biterror != nullptr) << c.name;
  }
}

TEST(TXTSubtitleRows, BoxedTextIsExtracted) {
  const std::vector<std::pair<std::string, std::vector<Shown>>> cases = {
      {std::string("\x0D\x0B\x0BHello\x0A", 9), {{"Hello", 0}}},
      // Attributes inside become spaces, leading spaces go, trailing ones stay.
      {std::string("\x0D\x07\x0B\x0B  Hi\x07there\x0A", 15), {{"Hi there", 0}}},
      {std::string("\x0D\x0B\x0B" "ab\x01\x02\x0A", 8), {{"ab  ", 0}}},
      // Both start boxes must follow the double height.
      {std::string("\x0B\x0B\x0DHello\x0A", 9), {}},
      {std::string("\x0D\x0B Hello\x0A", 9), {}},
      {std::string("\x0B\x0D\x0BHello\x0A", 9), {}},
      {std::string("\x0D\x0B\x0B     \x0A", 9), {}},
      {std::string("\x0D\x0B\x0B", 3) + "abc", {{"abc" + std::string(34, ' '), 0}}},
      {std::string("   \x0D\x0B\x0B\x7B\x7E\x0A", 9), {{"\x7B\x7E", 0}}},
  };
  for (const auto& [raw, shown] : cases) {
    Decoder d(0x889);
    FeedUnits(d.txt, {Header(0x889), RawRow(8, 1, raw), Header(0x889)});
    EXPECT_EQ(d.shown, shown) << raw;
  }
}

TEST(TXTSubtitleCollision, ForeignPixelsStopDrawingAndClearing) {
  struct Case {
    int bpp;
    uint32_t pixel;  // colour value (palette index at 8 bpp)
    int row;         // below the top of the drawn band at 32 bpp, absolute at 8
    bool foreign;
  };
  const std::vector<Case> cases = {
      {32, 0x12345678, 10, true},
      {32, 0xFFFFFFFF, 10, false},    // our text colour
      {32, 0x000000FF, 20, false},    // our outline
      {32, 0x00000044, 20, false},    // our box
      {32, 0x12345600, 10, false},    // transparent
      {32, 0x12345678, 11, false},    // every other row is looked at
      {32, 0x12345678, -100, false},  // outside the band once one is drawn
      {8, 0x13, 100, true},
      {8, 0x44, 100, false},  // low bytes of our colours
      {8, 0xFF, 100, false},
      {8, 0x13, 101, false},  // a loop of its own at this depth
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bpp << " bpp " << c.pixel << " row " << c.row);
    LogCapture capture;
    Config config;
    BasicSimScreen<SpyFrameBuffer> screen(SimFramebuffer::Geometry{c.bpp, 720, 576, 768});
    ASSERT_EQ(screen.Init(), 0);  // with DejaVu Sans
    TXTSubtitle txt;
    txt.frameBuffer = screen.fb.get();
    txt.config = &config;
    txt.videoFormat = 4;
    txt.configure(0x889);
    // Rows 22 and 23 share the bottom band: the later one clears the earlier.
    ASSERT_EQ(txt.drawRow("first", 21), 0);
    const int top = txt.StartY() + 530 - txt.LineHeight();
    const int row = c.bpp == 32 ? top + c.row : c.row;
    SimFramebuffer& device = screen.device;
    screen.Plant(360, row, c.pixel);
    const std::vector<uint8_t> before(device.Memory(), device.Memory() + device.MemoryBytes());
    screen.fb->fills.clear();
    capture.Clear();

    EXPECT_EQ(txt.isAreaFree(), !c.foreign);
    EXPECT_EQ(txt.drawRow("second", 22), c.foreign ? 1 : 0);
    const size_t forced = capture.Text().find("ZUVA: Forced CLEAR, then draw!\n");
    EXPECT_EQ(forced == std::string::npos, c.foreign);
    if (!c.foreign) continue;
    EXPECT_NE(capture.Text().find("ZUVA: Subtitle@23:second\n"
                                  "ZUVA: ...don't draw this, something on screen.\n"),
              std::string::npos)
        << capture.Text();
    // The clear waits too, and is tried again after every packet.
    txt.clearPage();
    EXPECT_TRUE(txt.ClearPending());
    Feed(txt, {});
    EXPECT_TRUE(txt.ClearPending());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), device.Memory()));
    // The other display goes; the next packet clears our band, and only it.
    screen.Plant(360, row, 0);
    Feed(txt, {0x00, 0x00, 0x01});
    EXPECT_FALSE(txt.ClearPending());
    const std::vector<std::pair<int, int>> band = {{top, txt.LineHeight() + txt.Descent()}};
    EXPECT_EQ(screen.fb->fills, band);
    EXPECT_TRUE(screen.UsedRows().empty());
  }
}

}  // namespace
