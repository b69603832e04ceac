#include "teletext/txt_subtitle.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/log.h"
#include "config/config.h"
#include "display/frame_buffer.h"

namespace {

// Teletext bytes travel in the PES payload with their bit order reversed; two
// nibble tables undo that without a 256-entry table.
constexpr uint8_t kReversedLow[16] = {0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0,
                                      0x10, 0x90, 0x50, 0xD0, 0x30, 0xB0, 0x70, 0xF0};
constexpr uint8_t kReversedHigh[16] = {0x00, 0x08, 0x04, 0x0C, 0x02, 0x0A, 0x06, 0x0E,
                                       0x01, 0x09, 0x05, 0x0D, 0x03, 0x0B, 0x07, 0x0F};

constexpr int Bit(unsigned value, int n) { return static_cast<int>((value >> n) & 1U); }

// Hamming 8/4 as sent: bit 0 is P1, then D1 P2 D2 P3 D3 P4 D4. Three checks
// cover the data bits, the fourth covers the whole byte; each must come out
// odd. A failed group check with a failed overall check is one flipped bit,
// which the groups locate; a failed group check with a good overall check
// means two flipped bits, which cannot be repaired.
constexpr uint8_t DecodeHamming(unsigned byte) {
  const int p1 = Bit(byte, 0), d1 = Bit(byte, 1), p2 = Bit(byte, 2), d2 = Bit(byte, 3);
  const int p3 = Bit(byte, 4), d3 = Bit(byte, 5), d4 = Bit(byte, 7);
  const int a = p1 ^ d1 ^ d3 ^ d4;
  const int b = p2 ^ d1 ^ d2 ^ d4;
  const int c = p3 ^ d1 ^ d2 ^ d3;
  int overall = 0;
  for (int n = 0; n < 8; ++n) overall ^= Bit(byte, n);
  const bool groupsGood = a == 1 && b == 1 && c == 1;
  int data1 = d1, data2 = d2, data3 = d3, data4 = d4;
  if (!groupsGood) {
    if (overall == 1) return 0xFF;  // two bits wrong
    // One bit wrong: the failed groups name it. A data bit sits in two or
    // three groups; a lone failed group is its own parity bit.
    const int failA = a ^ 1, failB = b ^ 1, failC = c ^ 1;
    if (failA && failB && failC) data1 ^= 1;
    else if (!failA && failB && failC) data2 ^= 1;
    else if (failA && !failB && failC) data3 ^= 1;
    else if (failA && failB && !failC) data4 ^= 1;
  }
  return static_cast<uint8_t>(data1 | (data2 << 1) | (data3 << 2) | (data4 << 3));
}

constexpr std::array<uint8_t, 256> MakeHammingTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) table[v] = DecodeHamming(v);
  return table;
}

constexpr std::array<uint8_t, 256> MakeParityTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) {
    int ones = 0;
    for (int n = 0; n < 8; ++n) ones += Bit(v, n);
    table[v] = (ones & 1) ? static_cast<uint8_t>(v & 0x7F) : 0x20;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kHamming = MakeHammingTable();
constexpr std::array<uint8_t, 256> kParity = MakeParityTable();

constexpr uint8_t kDoubleHeight = 0x0D;
constexpr uint8_t kStartBox = 0x0B;
constexpr uint8_t kEndBox = 0x0A;
constexpr uint8_t kSpace = 0x20;

// The probe column for the collision check: the middle of the screen, where
// subtitles and most menus of the box overlap.
constexpr int kProbeColumn = 360;

// The bottom teletext slot's baseline before the configured offset.
constexpr int kBottomBaseline = 530;
// Horizontal positions and outline offsets come from the settings and may be
// anything an int holds. Text this far off the screen can never reach it (a
// 40-character row at the largest font size is a few thousand pixels wide),
// so positions are kept within it, and the sums stay clear of overflow.
constexpr int64_t kFarOff = 1 << 20;
int Limit(int64_t v) { return static_cast<int>(std::max(-kFarOff, std::min(kFarOff, v))); }

// The sample whose glyphs reach highest and lowest, measured once to size a
// line's band.
const char* const kMetricsSample = "[]|{}\\yYjJ";

}  // namespace

TXTSubtitle::TXTSubtitle() {
  std::memset(receivePage, kSpace, sizeof receivePage);
  std::memset(displayPage, kSpace, sizeof displayPage);
  for (int& page : magazinePage) page = -1;
  log("TXTSubtitle created.\n");
}

TXTSubtitle::~TXTSubtitle() = default;

uint8_t TXTSubtitle::ReverseBits(uint8_t byte) {
  return static_cast<uint8_t>(kReversedLow[byte & 0x0F] | kReversedHigh[byte >> 4]);
}

uint8_t TXTSubtitle::Hamming84(uint8_t byte) { return kHamming[byte]; }

uint8_t TXTSubtitle::OddParity(uint8_t byte) { return kParity[byte]; }

uint32_t TXTSubtitle::processPES(const PESPacket& pes) {
  // Whole units only: a short tail is not a unit and is never read.
  const uint32_t units = pes.data == nullptr ? 0 : pes.size / kUnitSize;
  for (uint32_t u = 0; u < units; ++u) {
    decodeUnit(pes.data + static_cast<size_t>(u) * kUnitSize);
  }
  // A clear refused earlier because a menu was up is tried again after every
  // packet, so the subtitle disappears as soon as the menu does.
  if (clearPending) clearPage();
  return 0;
}

void TXTSubtitle::decodeUnit(const uint8_t* unit) {
  // The PES header and the stuffing units fail this test and are passed over.
  if ((unit[0] != 0x02 && unit[0] != 0x03) || unit[1] != 0x2C) return;
  // The address first: most units belong to other pages and need no more.
  packet[0] = ReverseBits(unit[4]);
  packet[1] = ReverseBits(unit[5]);
  const uint8_t a = Hamming84(packet[0]);
  const uint8_t b = Hamming84(packet[1]);
  if (a == 0xFF || b == 0xFF) {
    log("TXT Biterror in Packet\n");
    return;
  }
  int magazine = a & 7;
  if (magazine == 0) magazine = 8;
  const int row = b * 2 + ((a >> 3) & 1);
  const bool wanted = magazinePage[magazine] == wantedPage && magazine == wantedMagazine;
  if (row == 0 || (wanted && row <= 25)) {
    for (int n = 2; n < 42; ++n) packet[n] = ReverseBits(unit[4 + n]);
  }

  if (row == 0) {
    // Any header ends the page in progress: rows of one page are sent
    // between its header and the next header of any magazine.
    if (receiving == 1) {
      std::memcpy(displayPage, receivePage, sizeof displayPage);
      showPage();
      receiving = 0;
    }
    const uint8_t units = Hamming84(packet[2]);
    const uint8_t tens = Hamming84(packet[3]);
    if (units == 0xFF || tens == 0xFF) {
      log("TXT Biterror in Page\n");
      return;
    }
    const int page = magazine * 256 + tens * 16 + units;
    magazinePage[magazine] = page;
    if (page == wantedPage) {
      // Rows not sent again keep the text they had.
      std::memcpy(receivePage, displayPage, sizeof receivePage);
      // The erase bit (C4) wipes the page. A byte too damaged to read is
      // taken as erase: a stale subtitle is worse than a missing one.
      if (Hamming84(packet[5]) & 0x08) {
        std::memset(receivePage, kSpace, sizeof receivePage);
        std::memset(displayPage, kSpace, sizeof displayPage);
        clearPage();
      }
    } else {
      receiving = 0;
    }
    return;
  }

  if (wanted && row <= 25) {
    receiving = 1;
    if (row <= kRows) {
      uint8_t* target = receivePage[row - 1];
      for (int n = 0; n < kColumns; ++n) target[n] = OddParity(packet[2 + n]);
    }
  }
}

uint32_t TXTSubtitle::clear(const int64_t&) { return 0; }

void TXTSubtitle::configure(int page) {
  wantedPage = page;
  wantedMagazine = (page >> 8) & 15;
  std::memset(receivePage, kSpace, sizeof receivePage);
  std::memset(displayPage, kSpace, sizeof displayPage);
  std::memset(packet, 0, sizeof packet);
  lastDrawnRow = -1;
  for (int& p : magazinePage) p = -1;
  receiving = 0;
  readLayoutSettings();
}

void TXTSubtitle::readLayoutSettings() {
  const bool narrow = videoFormat == 4;
  if (config == nullptr) {
    // Decoder control always hands over the settings; without them the
    // defaults the fields were built with stay in force.
    log("TXTSubtitle: no settings, keeping the defaults.\n");
  }
  if (config != nullptr) {
    config->getValue(narrow ? "FontSize" : "WideFontSize", fontSize);
    config->getValue(narrow ? "RowSpace" : "WideRowSpace", rowSpace);
    config->getValue(narrow ? "StartYPos" : "WideStartYPos", startY);
    config->getValue(narrow ? "ExtraYSize" : "WideExtraYSize", extraYSize);
  }
  log(narrow ? "Drawing using 4:3 settings...\n" : "Drawing using 16:9 settings...\n");
  outlineSize = 2;
  if (config != nullptr) {
    config->getValue("StartXPos", startX);
    config->getValue("CenterText", centerText);
    config->getValue("UseBackground", useBackground);
    config->getValue("OutlineSize", outlineSize);
    config->getValueHex("OutlineColor", outlineColor);
    config->getValueHex("BackgroundColor", backgroundColor);
    config->getValueHex("TextColor", textColor);
  }

  int width = 0, height = 0, depth = 0;
  if (frameBuffer != nullptr) frameBuffer->GetTextSize(fontSize, kMetricsSample, width, height, depth);
  lineHeight = height;
  descent = depth;
  const int half = extraYSize / 2;
  lineHeight += half;
  descent += 3 + half;
  highestRow = kScreenHeight;
  lowestRow = 0;

  log("Drawing TextColor: %x\n", textColor);
  log("Drawing OutlineColor: %x\n", outlineColor);
  log("Drawing BackgroundColor: %x\n", backgroundColor);
}

int TXTSubtitle::stop() {
  clearPage();
  return 0;
}

void TXTSubtitle::showPage() {
  for (int i = 0; i < kRows; ++i) {
    const uint8_t* c = displayPage[i];
    bool blank = true;
    for (int n = 0; n < kColumns && blank; ++n) blank = c[n] == kSpace;
    if (blank) continue;

    int d = 0;
    while (d < kColumns && c[d] != kDoubleHeight) ++d;
    if (d == kColumns) continue;

    int s = d + 2;
    while (s < kColumns && !(c[s - 1] == kStartBox && c[s] == kStartBox)) ++s;
    if (s >= kColumns) continue;

    int pos = s + 1;
    while (pos < kColumns && c[pos] == kSpace) ++pos;
    if (pos == kColumns || c[pos] == kEndBox) continue;

    std::string text;
    for (; pos < kColumns && c[pos] != kEndBox; ++pos) {
      // Colours and other attributes inside the box are not shown.
      text.push_back(static_cast<char>(c[pos] < 0x20 ? kSpace : c[pos]));
    }
    drawRow(text, i);
  }
}

int TXTSubtitle::drawRow(const std::string& text, int i) {
  if (rowObserver != nullptr) rowObserver(text, i, rowObserverContext);
  if (frameBuffer == nullptr) return 1;

  // Sums of settings: worked out wide, so no setting can wrap them round.
  const int64_t pitch = int64_t{lineHeight} + descent + rowSpace;
  const int64_t slot = (i - 21) / 2;
  const int64_t baseline = startY + slot * pitch + kBottomBaseline;
  const int64_t top64 = baseline - lineHeight;
  const int64_t band64 = int64_t{lineHeight} + descent;
  // Offsets and sizes come from the settings; a band that would leave the
  // screen would make the back buffer copy write past the screen memory.
  if (band64 < 1 || top64 < 0 || top64 + band64 > kScreenHeight) {
    log("Subtitle@%d outside the screen (rows %lld to %lld), not drawn.\n", i + 1,
        static_cast<long long>(top64), static_cast<long long>(top64 + band64 - 1));
    return 1;
  }
  // Both now lie within the screen, and so do line height and descent, whose
  // difference is fixed by the font.
  const int top = static_cast<int>(top64);
  const int band = static_cast<int>(band64);

  if (!isAreaFree()) {
    log("Subtitle@%d:%s\n", i + 1, text.c_str());
    log("...don't draw this, something on screen.\n");
    return 1;
  }
  // Rows 22 and 23 share the bottom slot; the later one replaces the earlier.
  if (lastDrawnRow == 21) {
    log("Forced CLEAR, then draw!\n");
    clearPage();
  }
  lastDrawnRow = i;
  log("Subtitle@%d:%s\n", i + 1, text.c_str());
  log(" confFontSize =%d\n", fontSize);
  log(" confStartY   =%d\n", startY);
  log(" confRowSpace =%d\n", rowSpace);

  int x = Limit(int64_t{startX} + 90);
  int width = kScreenWidth - x;
  int tw = 0, th = 0, td = 0;
  frameBuffer->GetTextSize(fontSize, text, tw, th, td);
  if (centerText == 1) {
    width = kScreenWidth;
    x = (kScreenWidth - tw) / 2 + 1;
  }

  if (top < highestRow) highestRow = top;
  if (top + band > lowestRow) lowestRow = top + band;

  FrameBuffer* fb = frameBuffer;
  fb->Lock();
  fb->AllocBackBuffer(band, 0);
  fb->UseBackBuffer(true);
  if (useBackground == 1 || useBackground == 2) {
    fb->FillRect(x - descent / 2, 0, tw + descent, band, backgroundColor);
  }
  log("Subtitle@RenderText.\n");
  if (useBackground != 1) {
    fb->RenderOutlinedText(text, x, lineHeight, width, fontSize, textColor, outlineColor,
                           Limit(outlineSize));
  } else {
    fb->RenderText(text, x, lineHeight, width, 0, fontSize, textColor);
  }
  fb->CopyBackBuffer(top);
  fb->UseBackBuffer(false);
  fb->FreeBackBuffer();
  fb->Unlock();

  clearPending = false;
  return 0;
}

namespace {
// Holds a FrameBuffer's drawing lock for a scope.
class HeldLock {
 public:
  explicit HeldLock(FrameBuffer* fb) : fb_(fb) { fb_->Lock(); }
  ~HeldLock() { fb_->Unlock(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  FrameBuffer* fb_;
};
}  // namespace

void TXTSubtitle::clearPage() {
  if (frameBuffer == nullptr) return;
  if (isAreaFree()) {
    log("CLEAR Subtitle page.\n");
    log("highestRow=%d\n", highestRow);
    log("lowestRow=%d\n", lowestRow);
    frameBuffer->Lock();
    if (highestRow < lowestRow) {
      frameBuffer->FillRect(0, highestRow, kScreenWidth, lowestRow - highestRow, 0);
    } else {
      frameBuffer->ClearScreen();
    }
    frameBuffer->Unlock();
    clearPending = false;
  } else {
    clearPending = true;
  }
  lastDrawnRow = -1;
}

bool TXTSubtitle::isAreaFree() {
  if (frameBuffer == nullptr) return true;
  // The message line is drawn on the main thread while this runs on the
  // reader thread: the screen is read under the drawing lock, so a message
  // half drawn is never read. No caller holds the lock here.
  const HeldLock held(frameBuffer);
  uint8_t pixel[4];
  // A device with less memory than a full screen has fewer rows to look at;
  // probing past them would only fill the log.
  const int rows = std::min(kScreenHeight, frameBuffer->DrawableHeight());
  if (frameBuffer->GetBitsPerPixel() == 32) {
    int from = 0, to = rows;
    if (highestRow < lowestRow) {
      from = highestRow;
      to = std::min(lowestRow, rows);
    }
    for (int y = from; y < to; y += 2) {
      std::memset(pixel, 0, sizeof pixel);
      if (frameBuffer->ReadPixel(kProbeColumn, y, pixel) != 0) continue;
      // Stored blue, green, red, opacity; rebuilt as red..opacity.
      const uint32_t colour = static_cast<uint32_t>(pixel[2]) << 24 |
                              static_cast<uint32_t>(pixel[1]) << 16 |
                              static_cast<uint32_t>(pixel[0]) << 8 | pixel[3];
      if ((colour & 0xFF) == 0) continue;
      if (colour != textColor && colour != outlineColor && colour != backgroundColor) {
        return false;
      }
    }
    return true;
  }
  // One byte per pixel: what we write there is the low byte of our colours.
  for (int y = 0; y < rows; y += 2) {
    pixel[0] = 0;
    if (frameBuffer->ReadPixel(kProbeColumn, y, pixel) != 0) continue;
    const uint8_t index = pixel[0];
    if (index == 0) continue;
    if (index != (textColor & 0xFF) && index != (outlineColor & 0xFF) &&
        index != (backgroundColor & 0xFF)) {
      log("ZUVA: Check collision@(%d, %d): Color at this pixel:%x\n", kProbeColumn, y, index);
      return false;
    }
  }
  return true;
}
