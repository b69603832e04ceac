#pragma once

// Bitmap subtitles in the raw presentation-graphics format (".sup") that
// FFmpeg reads as its hdmv_pgs_subtitle input. FFmpeg cannot turn text
// subtitles into bitmaps, so the interoperability check makes the bitmaps
// here: cues of text rendered with FreeType, each cue one or two objects at
// given screen positions, cleared again at the cue's end. FFmpeg decodes them
// and encodes them again as DVB subtitles, which the daemon then shows.
//
// Header-only, used by tools/zuva-mksup.cpp.

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace interop {

// Palette indices of the bitmaps; index 0 is transparent.
enum : uint8_t {
  kTransparent = 0,
  kWhite = 1,
  kYellow = 2,
  kShade = 3,  // half-transparent black behind boxed text
};

struct PaletteEntry {
  uint8_t id, y, cr, cb, alpha;
};

// Studio-range YCrCb of the four colours above.
inline std::vector<PaletteEntry> CuePalette() {
  return {{kTransparent, 16, 128, 128, 0},
          {kWhite, 235, 128, 128, 255},
          {kYellow, 210, 146, 16, 255},
          {kShade, 16, 128, 128, 128}};
}

struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // palette indices, row after row
};

// One line of the cue file:
//   START_MS END_MS X Y STYLE TEXT...
// STYLE is "white", "yellow" or "box" (white text on a shaded box). Lines
// with the same start and end as the previous one join its cue as a second
// object (at most two per cue). Empty lines and lines from '#' are skipped.
struct CueLine {
  int64_t startMs = 0;
  int64_t endMs = 0;
  int x = 0;
  int y = 0;
  std::string style;
  std::string text;
};

struct Cue {
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::vector<CueLine> lines;
};

// False with a message naming the line when the text is not a cue file.
inline bool ParseCues(const std::string& text, std::vector<Cue>& cues, std::string& error) {
  size_t pos = 0;
  int number = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    CueLine cue;
    long long start = 0, stop = 0;
    int x = 0, y = 0, used = 0;
    char style[16] = {};
    if (sscanf(line.c_str(), "%lld %lld %d %d %15s %n", &start, &stop, &x, &y, style, &used) != 5 ||
        used <= 0 || static_cast<size_t>(used) >= line.size()) {
      error = "line " + std::to_string(number) + ": expected START_MS END_MS X Y STYLE TEXT";
      return false;
    }
    cue.startMs = start;
    cue.endMs = stop;
    cue.x = x;
    cue.y = y;
    cue.style = style;
    cue.text = line.substr(static_cast<size_t>(used));
    if (cue.style != "white" && cue.style != "yellow" && cue.style != "box") {
      error = "line " + std::to_string(number) + ": unknown style " + cue.style;
      return false;
    }
    if (start < 0 || stop <= start || x < 0 || y < 0 || x >= 720 || y >= 576) {
      error = "line " + std::to_string(number) + ": times or position out of range";
      return false;
    }
    if (!cues.empty() && cues.back().startMs == start && cues.back().endMs == stop) {
      if (cues.back().lines.size() >= 2) {
        error = "line " + std::to_string(number) + ": a cue holds at most two lines";
        return false;
      }
      cues.back().lines.push_back(cue);
      continue;
    }
    if (!cues.empty() && start < cues.back().endMs) {
      error = "line " + std::to_string(number) + ": cues overlap";
      return false;
    }
    cues.push_back({start, stop, {cue}});
  }
  return true;
}

// Text rendering as one-bit glyphs, so every pixel is either text or not and
// both decoders see the same two-colour shapes.
class TextRasterizer {
 public:
  TextRasterizer() = default;
  TextRasterizer(const TextRasterizer&) = delete;
  TextRasterizer& operator=(const TextRasterizer&) = delete;
  ~TextRasterizer() {
    if (face_ != nullptr) FT_Done_Face(face_);
    if (library_ != nullptr) FT_Done_FreeType(library_);
  }

  bool Open(const std::string& fontPath, int pixelSize) {
    if (FT_Init_FreeType(&library_) != 0) return false;
    if (FT_New_Face(library_, fontPath.c_str(), 0, &face_) != 0) return false;
    return FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(pixelSize)) == 0;
  }

  // Latin-1 / ASCII text; `padding` pixels of `background` on every side.
  Bitmap Render(const std::string& text, uint8_t colour, uint8_t background, int padding) const {
    Bitmap out;
    if (face_ == nullptr) return out;
    const int ascent = static_cast<int>(face_->size->metrics.ascender >> 6);
    const int descent = static_cast<int>(-(face_->size->metrics.descender >> 6));
    int advance = 0;
    for (unsigned char c : text) {
      if (FT_Load_Char(face_, c, FT_LOAD_DEFAULT) != 0) continue;
      advance += static_cast<int>(face_->glyph->advance.x >> 6);
    }
    out.width = advance + 2 * padding;
    out.height = ascent + descent + 2 * padding;
    out.pixels.assign(static_cast<size_t>(out.width) * static_cast<size_t>(out.height), background);
    int penX = padding;
    const int baseline = padding + ascent;
    for (unsigned char c : text) {
      if (FT_Load_Char(face_, c, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) != 0) {
        continue;
      }
      const FT_GlyphSlot g = face_->glyph;
      const FT_Bitmap& b = g->bitmap;
      for (unsigned row = 0; row < b.rows; ++row) {
        for (unsigned col = 0; col < b.width; ++col) {
          const uint8_t byte = b.buffer[row * static_cast<unsigned>(b.pitch) + col / 8];
          if ((byte & (0x80 >> (col % 8))) == 0) continue;
          const int x = penX + g->bitmap_left + static_cast<int>(col);
          const int y = baseline - g->bitmap_top + static_cast<int>(row);
          if (x < 0 || y < 0 || x >= out.width || y >= out.height) continue;
          out.pixels[static_cast<size_t>(y) * static_cast<size_t>(out.width) +
                     static_cast<size_t>(x)] = colour;
        }
      }
      penX += static_cast<int>(g->advance.x >> 6);
    }
    return out;
  }

 private:
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
};

// Run-length codes of one bitmap: per line, single pixels as their colour,
// runs as 00 with a length field (and a colour for non-zero runs), the line
// closed by 00 00.
inline void AppendRun(std::vector<uint8_t>& out, uint8_t colour, int length) {
  while (length > 0) {
    const int n = length > 16383 ? 16383 : length;
    length -= n;
    if (colour == 0) {
      out.push_back(0x00);
      if (n < 64) {
        out.push_back(static_cast<uint8_t>(n));
      } else {
        out.push_back(static_cast<uint8_t>(0x40 | (n >> 8)));
        out.push_back(static_cast<uint8_t>(n & 0xFF));
      }
    } else if (n < 3) {
      for (int i = 0; i < n; ++i) out.push_back(colour);
    } else {
      out.push_back(0x00);
      if (n < 64) {
        out.push_back(static_cast<uint8_t>(0x80 | n));
      } else {
        out.push_back(static_cast<uint8_t>(0xC0 | (n >> 8)));
        out.push_back(static_cast<uint8_t>(n & 0xFF));
      }
      out.push_back(colour);
    }
  }
}

inline std::vector<uint8_t> EncodeRle(const Bitmap& bitmap) {
  std::vector<uint8_t> out;
  for (int y = 0; y < bitmap.height; ++y) {
    const uint8_t* row = bitmap.pixels.data() + static_cast<size_t>(y) * bitmap.width;
    int x = 0;
    while (x < bitmap.width) {
      int n = 1;
      while (x + n < bitmap.width && row[x + n] == row[x]) ++n;
      AppendRun(out, row[x], n);
      x += n;
    }
    out.push_back(0x00);
    out.push_back(0x00);
  }
  return out;
}

namespace sup {

constexpr uint8_t kPalette = 0x14;
constexpr uint8_t kObject = 0x15;
constexpr uint8_t kComposition = 0x16;
constexpr uint8_t kWindows = 0x17;
constexpr uint8_t kEnd = 0x80;

inline void Put16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

inline void Segment(std::vector<uint8_t>& out, uint8_t type, int64_t pts,
                    const std::vector<uint8_t>& data) {
  out.push_back('P');
  out.push_back('G');
  const uint32_t p = static_cast<uint32_t>(pts);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(p >> shift));
  for (int i = 0; i < 4; ++i) out.push_back(0);  // decoding time: unused
  out.push_back(type);
  Put16(out, static_cast<int>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

struct Placed {
  Bitmap bitmap;
  int x = 0;
  int y = 0;
};

// One cue: shown at `startMs` until `endMs`, when an empty composition
// takes it off again. `number` counts the compositions of the stream; the
// objects are placed on a canvas of `width` x `height`, which FFmpeg's DVB
// encoder takes as its display.
inline void AppendCue(std::vector<uint8_t>& out, const std::vector<Placed>& objects,
                      int64_t startMs, int64_t endMs, int& number, int width = 720,
                      int height = 576) {
  const int64_t on = startMs * 90;
  const int64_t off = endMs * 90;

  std::vector<uint8_t> pcs;
  Put16(pcs, width);
  Put16(pcs, height);
  pcs.push_back(0x10);  // 25 frames per second
  Put16(pcs, number++);
  pcs.push_back(0x80);  // a new epoch: everything the cue needs follows
  pcs.push_back(0x00);  // not only a palette update
  pcs.push_back(0x00);  // palette 0
  pcs.push_back(static_cast<uint8_t>(objects.size()));
  std::vector<uint8_t> wds;
  wds.push_back(static_cast<uint8_t>(objects.size()));
  for (size_t i = 0; i < objects.size(); ++i) {
    Put16(pcs, static_cast<int>(i));       // object
    pcs.push_back(static_cast<uint8_t>(i));  // window
    pcs.push_back(0x00);                   // not cropped
    Put16(pcs, objects[i].x);
    Put16(pcs, objects[i].y);
    wds.push_back(static_cast<uint8_t>(i));
    Put16(wds, objects[i].x);
    Put16(wds, objects[i].y);
    Put16(wds, objects[i].bitmap.width);
    Put16(wds, objects[i].bitmap.height);
  }
  Segment(out, kComposition, on, pcs);
  Segment(out, kWindows, on, wds);

  // palette 0, version 0, then five bytes an entry. Sized up front and
  // written by index: GCC 12's release build mistakes an initializer-list
  // insert into a growing vector for an overflow.
  const std::vector<PaletteEntry> palette = CuePalette();
  std::vector<uint8_t> pds(2 + 5 * palette.size(), 0);
  for (size_t i = 0; i < palette.size(); ++i) {
    const PaletteEntry& e = palette[i];
    uint8_t* entry = &pds[2 + 5 * i];
    entry[0] = e.id;
    entry[1] = e.y;
    entry[2] = e.cr;
    entry[3] = e.cb;
    entry[4] = e.alpha;
  }
  Segment(out, kPalette, on, pds);

  for (size_t i = 0; i < objects.size(); ++i) {
    const std::vector<uint8_t> rle = EncodeRle(objects[i].bitmap);
    std::vector<uint8_t> ods;
    Put16(ods, static_cast<int>(i));
    ods.push_back(0x00);  // version
    ods.push_back(0xC0);  // first and last fragment
    const size_t length = rle.size() + 4;
    ods.push_back(static_cast<uint8_t>(length >> 16));
    ods.push_back(static_cast<uint8_t>(length >> 8));
    ods.push_back(static_cast<uint8_t>(length));
    Put16(ods, objects[i].bitmap.width);
    Put16(ods, objects[i].bitmap.height);
    ods.insert(ods.end(), rle.begin(), rle.end());
    Segment(out, kObject, on, ods);
  }
  Segment(out, kEnd, on, {});

  std::vector<uint8_t> clear;
  Put16(clear, width);
  Put16(clear, height);
  clear.push_back(0x10);
  Put16(clear, number++);
  clear.push_back(0x00);  // normal case: the windows stay, empty
  clear.push_back(0x00);
  clear.push_back(0x00);
  clear.push_back(0x00);  // no objects
  Segment(out, kComposition, off, clear);
  Segment(out, kWindows, off, wds);
  Segment(out, kEnd, off, {});
}

}  // namespace sup

// The bitmap of one cue line in its style.
inline Bitmap RenderCueLine(const TextRasterizer& text, const CueLine& line) {
  if (line.style == "box") return text.Render(line.text, kWhite, kShade, 8);
  return text.Render(line.text, line.style == "yellow" ? kYellow : kWhite, kTransparent, 2);
}

}  // namespace interop
