#include "tsgen/demo.h"

#include <algorithm>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "tsgen/dvbsub_encoder.h"
#include "tsgen/pes.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/teletext_encoder.h"

namespace tsgen {

namespace {

constexpr int64_t kTicksPerMs = 90;
constexpr int64_t kStart = 10 * 90000;  // the recording's clock starts at 10 s
constexpr uint16_t kPcrPid = 0x1FF;
constexpr uint16_t kTeletextPid = 0x200;
constexpr uint16_t kDvbPid = 0x210;
constexpr int kDvbTimeOut = 3;

const char kDemoFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

// Renders `text` into a bitmap of 4-bit codes: 0 transparent, 1 the
// translucent box, 2 white text, 3 its black outline. Without the font the
// text becomes a plain white bar, so a demo still shows something.
std::vector<uint8_t> TextBitmap(const std::string& text, int width, int height) {
  std::vector<uint8_t> codes(static_cast<size_t>(width) * height, 1);
  std::vector<uint8_t> ink(codes.size(), 0);
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  bool drawn = false;
  if (FT_Init_FreeType(&library) == 0 && FT_New_Face(library, kDemoFont, 0, &face) == 0 &&
      FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(height * 3 / 5)) == 0) {
    int advance = 0;
    for (unsigned char c : text) {
      if (FT_Load_Char(face, c, FT_LOAD_DEFAULT) == 0) advance += face->glyph->advance.x >> 6;
    }
    int pen = std::max(2, (width - advance) / 2);
    const int baseline = height * 3 / 4;
    for (unsigned char c : text) {
      if (FT_Load_Char(face, c, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0) continue;
      const FT_Bitmap& bm = face->glyph->bitmap;
      for (unsigned r = 0; r < bm.rows; ++r) {
        for (unsigned col = 0; col < bm.width; ++col) {
          const uint8_t byte = bm.buffer[r * static_cast<unsigned>(bm.pitch) + col / 8];
          if ((byte & (0x80 >> (col % 8))) == 0) continue;
          const int x = pen + face->glyph->bitmap_left + static_cast<int>(col);
          const int y = baseline - face->glyph->bitmap_top + static_cast<int>(r);
          if (x >= 0 && x < width && y >= 0 && y < height) ink[static_cast<size_t>(y) * width + x] = 1;
        }
      }
      pen += static_cast<int>(face->glyph->advance.x >> 6);
      drawn = true;
    }
  }
  if (face != nullptr) FT_Done_Face(face);
  if (library != nullptr) FT_Done_FreeType(library);
  if (!drawn) {
    for (int y = height / 3; y < height * 2 / 3; ++y) {
      for (int x = width / 10; x < width * 9 / 10; ++x) ink[static_cast<size_t>(y) * width + x] = 1;
    }
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const size_t at = static_cast<size_t>(y) * width + x;
      if (ink[at]) {
        codes[at] = 2;
        continue;
      }
      for (int dy = -2; dy <= 2 && codes[at] != 3; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
          const int nx = x + dx, ny = y + dy;
          if (nx >= 0 && nx < width && ny >= 0 && ny < height &&
              ink[static_cast<size_t>(ny) * width + nx]) {
            codes[at] = 3;
            break;
          }
        }
      }
    }
  }
  return codes;
}

std::vector<uint8_t> DvbDisplaySet(int n, int64_t pts) {
  using namespace dvbsub;
  const int width = 600, height = 50;
  PageComposition page;
  page.timeOut = kDvbTimeOut;
  page.version = n & 15;
  page.state = kModeChange;
  page.regions = {{1, 60, 470}};
  RegionComposition region;
  region.regionId = 1;
  region.version = n & 15;
  region.fill = true;
  region.width = width;
  region.height = height;
  region.depth = 2;
  region.clutId = 1;
  region.code4 = 1;
  region.objects = {{1, 0, 0, 0, 0, 0, 0}};
  ClutDefinition clut;
  clut.clutId = 1;
  clut.version = n & 15;
  clut.entries = {
      {0, false, true, false, true, 0, 128, 128, 0},        // transparent
      {1, false, true, false, true, 16, 128, 128, 0x90},    // translucent black box
      {2, false, true, false, true, 235, 128, 128, 0},      // white text
      {3, false, true, false, true, 16, 128, 128, 0},       // black outline
  };
  const std::string text = "DVB subtitle " + std::to_string(n + 1);
  const ObjectData object = ObjectFromBitmap(1, TextBitmap(text, width, height), width, height, 4,
                                             n & 15);
  DisplaySet set(1);
  set.Page(page).Region(region).Clut(clut).Object(object).End();
  return set.Packet(pts);
}

// Completes the pages before it: a page is shown when the next header comes.
TeletextHeader Terminator() {
  TeletextHeader h;
  h.page = 0x8FF;
  return h;
}

}  // namespace

std::vector<std::string> DemoSubtitleCodes(int page, int n) {
  const std::string number = std::to_string(n + 1);
  if (page == 0x888) return {"Undertext nummer " + number, "God kv{ll fr}n Sverige!"};
  return {"Subtitle number " + number, "Tickets cost #" + number + " today."};
}

std::vector<std::string> DemoSubtitleText(int page, int n) {
  const std::string number = std::to_string(n + 1);
  if (page == 0x888) return {"Undertext nummer " + number, "God kv\xC3\xA4ll fr\xC3\xA5n Sverige!"};
  return {"Subtitle number " + number, "Tickets cost \xC2\xA3" + number + " today."};
}

std::vector<uint8_t> BuildDemoRecording(int seconds, DemoTimes* times) {
  RecordingBuilder b;
  b.EnablePCR(kPcrPid);
  b.SetStartTime(kStart);
  b.SetEndTime(kStart + static_cast<int64_t>(seconds) * 90000);
  b.AddTable(0x0000, BuildPAT(1, {{100, 0x100}, {200, 0x110}}));
  b.AddTable(0x0100, BuildPMT(100, kPcrPid, {},
                              {{0x06, kTeletextPid,
                                TeletextDescriptor({{"swe", 2, 0x888}, {"eng", 2, 0x889}})}}));
  b.AddTable(0x0110, BuildPMT(200, kPcrPid, {},
                              {{0x06, kDvbPid, SubtitlingDescriptor({{"eng", 0x10, 1, 1}})}}));

  DemoTimes t;
  t.dvbTimeOutSeconds = kDvbTimeOut;
  // Teletext: a subtitle every three seconds from 2 s on, erased 2.5 s later.
  for (int n = 0; 2000 + n * 3000 + 2500 < seconds * 1000; ++n) {
    const int64_t on = 2000 + n * 3000;
    const int64_t off = on + 2500;
    std::vector<TeletextUnit> show = EncodePage(SubtitlePage(0x888, DemoSubtitleCodes(0x888, n)));
    const std::vector<TeletextUnit> english =
        EncodePage(SubtitlePage(0x889, DemoSubtitleCodes(0x889, n)));
    show.insert(show.end(), english.begin(), english.end());
    show.push_back(EncodeHeaderUnit(Terminator()));
    for (const auto& pes : PackTeletextPES(show, kStart + on * kTicksPerMs)) {
      b.AddPES(kTeletextPid, kStart + (on - 200) * kTicksPerMs, pes);
    }
    std::vector<TeletextUnit> erase = EncodePage(SubtitlePage(0x888, {}));
    const std::vector<TeletextUnit> erase2 = EncodePage(SubtitlePage(0x889, {}));
    erase.insert(erase.end(), erase2.begin(), erase2.end());
    erase.push_back(EncodeHeaderUnit(Terminator()));
    for (const auto& pes : PackTeletextPES(erase, kStart + off * kTicksPerMs)) {
      b.AddPES(kTeletextPid, kStart + (off - 200) * kTicksPerMs, pes);
    }
    t.teletextOn.push_back(on);
    t.teletextOff.push_back(off);
  }
  // DVB: a display set every four seconds from 1 s on.
  for (int n = 0; 1000 + n * 4000 < seconds * 1000; ++n) {
    const int64_t on = 1000 + n * 4000;
    b.AddPES(kDvbPid, kStart + (on - 300) * kTicksPerMs, DvbDisplaySet(n, kStart + on * kTicksPerMs));
    t.dvbOn.push_back(on);
  }
  if (times != nullptr) *times = t;
  return b.Build();
}

}  // namespace tsgen
