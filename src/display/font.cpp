// The text half of FrameBuffer: FreeType with its cache for one font file,
// monochrome glyphs scanned into runs of pixels and painted into the drawing
// target.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "config/translator.h"
#include "display/frame_buffer.h"

#include FT_MODULE_H

namespace {
// Holds a pthread mutex for the lifetime of a scope.
class MutexHolder {
 public:
  explicit MutexHolder(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~MutexHolder() { pthread_mutex_unlock(m_); }
  MutexHolder(const MutexHolder&) = delete;
  MutexHolder& operator=(const MutexHolder&) = delete;

 private:
  pthread_mutex_t* m_;
};

// 1 bit per pixel, most significant bit leftmost: the render target is the
// monochrome mode, and the monochrome flag keeps the hinter from anti-aliasing.
constexpr FT_Int32 kMonochromeLoadFlags = FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME;

constexpr uint32_t kSpace = 0x20;

// FreeType's allocator. Every block is handed out zeroed: the small-bitmap
// cache weighs its nodes by fields it does not always initialise, so on a
// heap that has been used before it believes itself full, flushes on every
// lookup and renders every glyph again (about ten times slower per row, and
// reads of uninitialised memory besides).
void* ZeroedAlloc(FT_Memory, long size) { return size > 0 ? std::calloc(1, static_cast<size_t>(size)) : nullptr; }
void ZeroedFree(FT_Memory, void* block) { std::free(block); }
void* ZeroedRealloc(FT_Memory, long curSize, long newSize, void* block) {
  void* grown = std::realloc(block, static_cast<size_t>(newSize));
  if (grown != nullptr && newSize > curSize) {
    std::memset(static_cast<uint8_t*>(grown) + curSize, 0, static_cast<size_t>(newSize - curSize));
  }
  return grown;
}

// The cache marks a glyph it could not hold (one whose metrics do not fit its
// byte-sized fields) with width 255 and no buffer, leaving the other fields
// undefined; such a glyph must be neither painted nor measured.
bool Unusable(const FTC_SBit sbit) { return sbit == nullptr || (sbit->buffer == nullptr && sbit->width == 255); }

// The scripts a translation table can bring, for saying which letters a font
// lacks; everything else is "other". Index = the bit in missingScriptsLogged.
struct ScriptRange {
  uint32_t first, last;
  const char* name;
};
constexpr ScriptRange kScripts[] = {
    {0x0000, 0x024F, "Latin"},    {0x0370, 0x03FF, "Greek"},  {0x0400, 0x052F, "Cyrillic"},
    {0x0590, 0x05FF, "Hebrew"},   {0x0600, 0x06FF, "Arabic"}, {0xFB50, 0xFDFF, "Arabic"},
    {0xFE70, 0xFEFF, "Arabic"},
};
constexpr int kOtherScript = sizeof(kScripts) / sizeof(kScripts[0]);

int ScriptOf(uint32_t c) {
  for (int n = 0; n < kOtherScript; ++n) {
    if (c >= kScripts[n].first && c <= kScripts[n].last) return n;
  }
  return kOtherScript;
}

const char* ScriptName(int script) { return script < kOtherScript ? kScripts[script].name : "other"; }
}  // namespace

uint32_t FrameBuffer::CharacterOf(uint8_t byte) const {
  return translating && translator != nullptr ? translator->Translate(byte) : byte;
}

int FrameBuffer::KerningToPixels(long delta) {
  // Round towards minus infinity, so that -1/64 pixel still pulls a glyph in by one.
  return static_cast<int>(delta >= 0 ? delta / 64 : -((-delta + 63) / 64));
}

FT_Error FrameBuffer::RequestFaceThunk(FTC_FaceID faceId, FT_Library lib, FT_Pointer requestData,
                                       FT_Face* aface) {
  return static_cast<FrameBuffer*>(requestData)->RequestFace(faceId, lib, aface);
}

FT_Error FrameBuffer::RequestFace(FTC_FaceID faceId, FT_Library lib, FT_Face* aface) {
  // A face is identified by its file name: the configured font's or the
  // fallback font's, both held by this object for as long as the manager.
  const char* file = static_cast<const char*>(faceId);
  const FT_Error error = FT_New_Face(lib, file, 0, aface);
  if (error != 0) {
    log("FT_New_Face failed: %s, for font: %s\n", FreeTypeErrorText(error), file);
    return error;
  }
  FT_Select_Charmap(*aface, FT_ENCODING_UNICODE);
  return 0;
}

int FrameBuffer::InitFont() {
  // The library as FT_Init_FreeType would build it, with the allocator above.
  ftMemory.user = nullptr;
  ftMemory.alloc = &ZeroedAlloc;
  ftMemory.free = &ZeroedFree;
  ftMemory.realloc = &ZeroedRealloc;
  FT_Error error = FT_New_Library(&ftMemory, &library);
  if (error == 0) FT_Add_Default_Modules(library);
  if (error != 0) {
    log("FT_Init_FreeType failed with Errorcode 0x%.2X", static_cast<unsigned>(error));
    library = nullptr;
    ReleaseFont();
    return -1;
  }
  if (!ChooseFont()) {
    ReleaseFont();
    return -1;
  }
  error = FTC_Manager_New(library, 10, 20, 0x100000, &FrameBuffer::RequestFaceThunk, this, &manager);
  if (error != 0) {
    log("FTC_Manager_New failed with Errorcode 0x%.2X\n", static_cast<unsigned>(error));
    manager = nullptr;
    ReleaseFont();
    return -1;
  }
  error = FTC_SBitCache_New(manager, &sbitCache);
  if (error != 0) {
    log("FTC_SBitCache_New failed with Errorcode 0x%.2X\n", static_cast<unsigned>(error));
    ReleaseFont();
    return -1;
  }
  auto faceId = static_cast<FTC_FaceID>(const_cast<char*>(fontFile.c_str()));
  error = FTC_Manager_LookupFace(manager, faceId, &face);
  if (error != 0) {
    log("FTC_Manager_Lookup_Face failed with Errorcode 0x%.2X\n", static_cast<unsigned>(error));
    log("Probably because font was not found:%s\n", fontFile.c_str());
    ReleaseFont();
    return -1;
  }
  kerning = FT_HAS_KERNING(face) ? 1 : 0;
  imageType.face_id = faceId;
  imageType.width = imageType.height = 0;
  imageType.flags = kMonochromeLoadFlags;
  previousGlyph = 0;
  italic = false;
  lastClampedSize = 0;
  textValid = false;
  fallbackFile.clear();
  fallbackSearched = false;
  missingScriptsLogged = 0;
  return 0;
}

bool FrameBuffer::ChooseFont() {
  const std::string problem = FontProblem(library, fontFile);
  if (problem.empty()) return true;
  log("FT_New_Face failed: %s, for font: %s\n", problem.c_str(), fontFile.c_str());
  auto use = [this](const std::string& file) {
    if (file.empty() || !FontProblem(library, file).empty()) return false;
    log("Using fallback font: %s\n", file.c_str());
    fontFile = file;
    return true;
  };
  for (const std::string& file : fontFallback.files) {
    if (use(file)) return true;
  }
  if (use(AskFontMatcher(fontFallback.matcher))) return true;
  // Said once here; while the screen stays closed, drawing is refused
  // without a word.
  log("No font could be opened: nothing will be drawn\n");
  return false;
}

FT_UInt FrameBuffer::FallbackGlyph(uint32_t c) {
  if (!fallbackSearched) {
    // Chosen once, at the first character the configured font lacks: a
    // subtitle in a script the box's font does not cover is still shown.
    fallbackSearched = true;
    for (const std::string& file : fontFallback.files) {
      if (file != fontFile && FontProblem(library, file).empty()) {
        fallbackFile = file;
        break;
      }
    }
  }
  // Looked up each time: the manager may drop a face it holds and open it
  // again later.
  FT_Face fallbackFace = nullptr;
  if (!fallbackFile.empty() &&
      FTC_Manager_LookupFace(manager, const_cast<char*>(fallbackFile.c_str()), &fallbackFace) != 0) {
    fallbackFace = nullptr;
  }
  const FT_UInt glyph = fallbackFace != nullptr ? FT_Get_Char_Index(fallbackFace, c) : 0;
  const int script = ScriptOf(c);
  if ((missingScriptsLogged & (1U << script)) == 0) {
    missingScriptsLogged |= 1U << script;
    if (glyph != 0) {
      log("Font %s has no glyph for U+%04X (%s): such characters are drawn with %s\n",
          fontFile.c_str(), static_cast<unsigned>(c), ScriptName(script), fallbackFile.c_str());
    } else {
      log("Font %s has no glyph for U+%04X (%s), nor has any fallback font: drawn as spaces\n",
          fontFile.c_str(), static_cast<unsigned>(c), ScriptName(script));
    }
  }
  return glyph;
}

void FrameBuffer::ReleaseFont() {
  // The manager owns the face, the sizes and the cache; it goes first.
  if (manager != nullptr) FTC_Manager_Done(manager);
  if (library != nullptr) FT_Done_Library(library);
  manager = nullptr;
  library = nullptr;
  sbitCache = nullptr;
  face = nullptr;
  glyphBitmap = nullptr;
  textValid = false;
}

void FrameBuffer::SelectSize(int size) {
  int wanted = size;
  if (wanted < 1) wanted = 1;
  if (wanted > kMaxFontSize) wanted = kMaxFontSize;
  if (wanted != size && size != lastClampedSize) {
    log("Font size %d out of range, using %d\n", size, wanted);
    lastClampedSize = size;
  }
  imageType.width = imageType.height = static_cast<FT_UInt>(wanted);
  if (kerning) {
    // Kerning is scaled by the face's active size; a glyph served from the
    // cache does not activate it, so the size is looked up (and activated)
    // here, or text would be kerned at whatever size was rendered last.
    FTC_ScalerRec scaler = {};
    scaler.face_id = imageType.face_id;
    scaler.width = scaler.height = static_cast<FT_UInt>(wanted);
    scaler.pixel = 1;
    FT_Size ftSize = nullptr;
    FTC_Manager_LookupSize(manager, &scaler, &ftSize);
  }
}

int FrameBuffer::RenderChar(uint8_t byte, int64_t x, int64_t y, int64_t limit, int draw) {
  uint32_t c = CharacterOf(byte);

  // The whole code is compared, not its low byte: letters such as U+015F
  // share their low byte with a marker and must still be drawn.
  if (c == '<') {
    italic = true;
    c = kSpace;
  } else if (c == '>') {
    italic = false;
    c = kSpace;
  } else if (c == '_') {
    italic = !italic;
    c = kSpace;
  }

  FT_UInt glyph = FT_Get_Char_Index(face, c);
  FTC_ImageType type = &imageType;
  FTC_ImageTypeRec fallbackType;
  bool fallback = false;
  if (glyph == 0 && c != kSpace) {
    glyph = FallbackGlyph(c);
    fallback = glyph != 0;
    if (fallback) {
      fallbackType = imageType;
      fallbackType.face_id = const_cast<char*>(fallbackFile.c_str());
      type = &fallbackType;
    }
  }
  if (glyph == 0) {
    c = kSpace;
    glyph = FT_Get_Char_Index(face, kSpace);
  }
  FTC_SBit sbit = nullptr;
  const FT_Error error = FTC_SBitCache_Lookup(sbitCache, type, glyph, &sbit, nullptr);
  if (error != 0 || sbit == nullptr) {
    log("ZFB: <FTC_SBitCache_Lookup for Char \"%c\" failed with Errorcode 0x%.2X>\n",
        static_cast<int>(c & 0xFF), static_cast<unsigned>(error));
    return 0;
  }
  glyphBitmap = sbit;
  if (Unusable(sbit)) {
    log("ZFB: <Glyph for Char \"%c\" too large for the glyph cache>\n", static_cast<int>(c & 0xFF));
    return 0;
  }

  int k = 0;
  if (fallback) {
    // Glyph indices of two faces cannot be kerned against each other.
    previousGlyph = 0;
  } else if (kerning) {
    FT_Vector delta = {0, 0};
    if (FT_Get_Kerning(face, previousGlyph, glyph, FT_KERNING_DEFAULT, &delta) != 0) delta.x = 0;
    previousGlyph = glyph;
    k = KerningToPixels(delta.x);
  }

  if (draw != 1) return sbit->xadvance + k;
  if (x + sbit->xadvance >= limit) return -1;
  CollectGlyph(x + k, y);
  return sbit->xadvance + k;
}

void FrameBuffer::CollectGlyph(int64_t x, int64_t y) {
  const FTC_SBit sbit = glyphBitmap;
  // The cache hands out what FreeType rendered; anything but a 1-bit bitmap
  // with rows as long as its pitch says is not painted, so no byte is read
  // beyond the |pitch| * height bytes of the buffer.
  if (sbit->buffer == nullptr || sbit->format != FT_PIXEL_MODE_MONO || sbit->pitch == 0) return;

  const int height = sbit->height;
  const int rowBytes = std::abs(static_cast<int>(sbit->pitch));
  const int columns = std::min<int>(sbit->width, rowBytes * 8);

  // Italics shear the bitmap: the top row moves right by a fifth of the
  // glyph height, each row below by a fifth of a pixel less.
  float slant = italic ? static_cast<float>(height) * 0.2f : 0.0f;
  const float step = italic ? 0.2f : 0.0f;

  for (int r = 0; r < height; ++r, slant -= step) {
    const int64_t dy = y - sbit->top + r;
    // A negative pitch means the rows are stored bottom-up.
    const uint8_t* src =
        sbit->buffer + static_cast<size_t>(sbit->pitch > 0 ? r : height - 1 - r) * rowBytes;
    const int64_t base = x + sbit->left + static_cast<int64_t>(std::trunc(slant));
    // 64 pixels at a time, leftmost in the highest bit; a run that reaches
    // the end of one word is carried into the next.
    int64_t open = -1;
    for (int word = 0; word * 64 < columns; ++word) {
      uint64_t bits = 0;
      const int have = std::min(8, rowBytes - word * 8);
      for (int b = 0; b < have; ++b) bits = bits << 8 | src[word * 8 + b];
      bits <<= 8 * (8 - have);
      const int valid = std::min(64, columns - word * 64);
      if (valid < 64) bits &= ~(~uint64_t{0} >> valid);
      int at = 0;  // bits of this word consumed
      while (at < 64) {
        const uint64_t rest = bits << at;
        if (rest == 0) break;
        const int zeros = __builtin_clzll(rest);
        if (zeros > 0 && open >= 0) {
          textRuns.push_back({open, base + word * 64 + at, static_cast<int32_t>(dy)});
          open = -1;
        }
        at += zeros;
        const uint64_t ones = ~(bits << at);
        const int length = ones == 0 ? 64 - at : std::min(64 - at, __builtin_clzll(ones));
        if (open < 0) open = base + word * 64 + at;
        at += length;
        if (at < 64) {
          textRuns.push_back({open, base + word * 64 + at, static_cast<int32_t>(dy)});
          open = -1;
        }
      }
      if (at < 64 && open >= 0) {
        textRuns.push_back({open, base + word * 64 + at, static_cast<int32_t>(dy)});
        open = -1;
      }
    }
    if (open >= 0) {
      textRuns.push_back({open, base + columns, static_cast<int32_t>(dy)});
    }
  }
}

void FrameBuffer::PaintRuns(int64_t x, int64_t y, uint32_t colour) {
  const int64_t rows = TargetRows();
  const int bpp = BytesPerPixel();
  int64_t first = rows, end = 0, leftmost = drawableWidth, rightmost = 0;
  for (const TextRun& run : textRuns) {
    const int64_t py = y + run.dy;
    if (py < 0 || py >= rows) continue;
    const int64_t a = std::max<int64_t>(x + run.x0, 0);
    const int64_t b = std::min<int64_t>(x + run.x1, drawableWidth);
    if (a >= b) continue;
    FillRow(target + static_cast<size_t>(py) * stride + static_cast<size_t>(a) * bpp, b - a, colour);
    first = std::min(first, py);
    end = std::max(end, py + 1);
    leftmost = std::min(leftmost, a);
    rightmost = std::max(rightmost, b);
  }
  MarkDrawn(first, end, leftmost, rightmost);
}

bool FrameBuffer::TextRunsMatch(const std::string& text, int size, int width, int align) const {
  if (!textValid || size != textKeySize || width != textKeyWidth || align != textKeyAlign ||
      text.size() != textKey.size()) {
    return false;
  }
  for (size_t n = 0; n < text.size(); ++n) {
    const auto byte = static_cast<uint8_t>(text[n]);
    if (CharacterOf(byte) != textKey[n]) return false;
  }
  return true;
}

int FrameBuffer::GetTextWidth(const char* text) {
  italic = false;
  previousGlyph = 0;
  int width = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    width += RenderChar(static_cast<uint8_t>(*p), -1, -1, -1, 0);
  }
  return width;
}

void FrameBuffer::LayOutText(const std::string& text, int size, int width, int align) {
  if (TextRunsMatch(text, size, width, align)) return;
  SelectSize(size);
  textRuns.clear();
  // Laid out at origin (0, 0); PaintRuns moves it into place.
  int64_t left = 0;
  if (align != 0) {
    const int64_t tw = GetTextWidth(text.c_str());
    if (align == 1 && tw < width) left += (width - tw) / 2;
    if (align == 2 && tw < width) left += width - tw;
  }
  italic = false;
  previousGlyph = 0;
  const int64_t limit = left + width;
  textResult = 0;
  for (const char* p = text.c_str(); *p != '\0'; ++p) {
    const int advance = RenderChar(static_cast<uint8_t>(*p), left, 0, limit, 1);
    if (advance == -1) {
      textResult = -1;
      break;
    }
    left += advance;
  }
  textKey.clear();
  for (const char c : text) {
    const auto byte = static_cast<uint8_t>(c);
    textKey.push_back(CharacterOf(byte));
  }
  textKeySize = size;
  textKeyWidth = width;
  textKeyAlign = align;
  textValid = true;
}

int FrameBuffer::RenderText(const std::string& text, int x, int y, int width, int align, int size,
                            uint32_t colour) {
  if (!initialised) return -1;
  MutexHolder hold(&fontMutex);
  LayOutText(text, size, width, align);
  if (target != nullptr) PaintRuns(x, y, colour);
  return textResult;
}

int FrameBuffer::RenderMessage(const std::string& text, int x, int y, int width, int align,
                               int size, uint32_t colour) {
  if (!initialised) return -1;
  MutexHolder hold(&fontMutex);
  translating = false;
  LayOutText(text, size, width, align);
  translating = true;
  if (target != nullptr) PaintRuns(x, y, colour);
  return textResult;
}

int FrameBuffer::RenderOutlinedText(const std::string& text, int x, int y, int width, int size,
                                    uint32_t colour, uint32_t outlineColour, int outline) {
  if (!initialised) return -1;
  MutexHolder hold(&fontMutex);
  LayOutText(text, size, width, 0);
  if (target == nullptr) return textResult;
  // The outline is the text at the four corners (o, o) apart, and for o > 1
  // also at the four sides: as a set, {-o, o} or {-o, 0, o} across times the
  // same down. Painted as one mask, it costs one pass instead of eight.
  const int64_t o = std::abs(int64_t{outline});
  const bool sides = outline > 1;
  if (o > kMaxMaskOutline) {
    // A mask that wide would cost more memory than the copies cost time.
    const int64_t sign[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
    const int64_t side[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (const auto& d : sign) PaintRuns(x + d[0] * outline, y + d[1] * outline, outlineColour);
    if (sides) {
      for (const auto& d : side) PaintRuns(x + d[0] * outline, y + d[1] * outline, outlineColour);
    }
    PaintRuns(x, y, colour);
    return textResult;
  }
  if (textRuns.empty()) return textResult;

  // The part of the target the outlined text can reach...
  int64_t left = INT64_MAX, right = INT64_MIN, top = INT64_MAX, bottom = INT64_MIN;
  for (const TextRun& run : textRuns) {
    left = std::min(left, run.x0);
    right = std::max(right, run.x1);
    top = std::min<int64_t>(top, run.dy);
    bottom = std::max<int64_t>(bottom, int64_t{run.dy} + 1);
  }
  const int64_t r0 = std::max<int64_t>(y + top - o, 0);
  const int64_t r1 = std::min<int64_t>(y + bottom + o, TargetRows());
  const int64_t c0 = std::max<int64_t>(x + left - o, 0);
  const int64_t c1 = std::min<int64_t>(x + right + o, drawableWidth);
  if (r0 >= r1 || c0 >= c1) return textResult;

  // ...and the text in it with a margin of o all round.
  const int64_t mx = c0 - o, my = r0 - o;
  const auto mw = static_cast<size_t>(c1 - c0 + 2 * o);
  const auto mh = static_cast<size_t>(r1 - r0 + 2 * o);
  textMask.assign(mw * mh, 0);
  wideMask.assign(mw * mh, 0);
  for (const TextRun& run : textRuns) {
    const int64_t row = y + run.dy - my;
    if (row < 0 || row >= static_cast<int64_t>(mh)) continue;
    const int64_t a = std::max<int64_t>(x + run.x0 - mx, 0);
    const int64_t b = std::min<int64_t>(x + run.x1 - mx, static_cast<int64_t>(mw));
    if (a < b) std::memset(&textMask[static_cast<size_t>(row) * mw + a], 1, static_cast<size_t>(b - a));
  }
  // Across: wide = text shifted left and right (and in place).
  const uint8_t keep = sides ? 0xFF : 0;
  for (size_t row = 0; row < mh; ++row) {
    const uint8_t* t = &textMask[row * mw];
    uint8_t* w = &wideMask[row * mw];
    for (size_t c = static_cast<size_t>(o); c + o < mw; ++c) w[c] = t[c - o] | t[c + o] | (t[c] & keep);
  }
  // Down: outline = wide shifted up and down (and in place); then painted
  // as runs of one colour: the text over its outline.
  lineMask.resize(mw + 8);
  int64_t first = TargetRows(), end = 0;
  const int bpp = BytesPerPixel();
  for (int64_t ty = r0; ty < r1; ++ty) {
    const size_t row = static_cast<size_t>(ty - my);
    const uint8_t* up = &wideMask[(row - o) * mw];
    const uint8_t* mid = &wideMask[row * mw];
    const uint8_t* down = &wideMask[(row + o) * mw];
    const uint8_t* t = &textMask[row * mw];
    uint8_t* v = lineMask.data();
    const auto o0 = static_cast<size_t>(o);
    const size_t n = static_cast<size_t>(c1 - c0);
    for (size_t c = 0; c < n; ++c) {
      const uint8_t ring = up[c + o0] | down[c + o0] | (mid[c + o0] & keep);
      const uint8_t inText = t[c + o0];
      v[c] = static_cast<uint8_t>(inText | ((ring & (inText ^ 1)) << 1));
    }
    std::memset(v + n, 0, 8);
    uint8_t* line = target + static_cast<size_t>(ty) * stride;
    bool any = false;
    size_t c = 0;
    while (c < n) {
      uint64_t eight;
      std::memcpy(&eight, v + c, 8);
      if (eight == 0) {
        c += 8;
        continue;
      }
      if (v[c] == 0) {
        ++c;
        continue;
      }
      const size_t start = c;
      const uint8_t value = v[c];
      while (c < n && v[c] == value) ++c;
      FillRow(line + static_cast<size_t>(c0 + static_cast<int64_t>(start)) * bpp,
              static_cast<int64_t>(c - start), value == 1 ? colour : outlineColour);
      any = true;
    }
    if (any) {
      first = std::min(first, ty);
      end = ty + 1;
    }
  }
  MarkDrawn(first, end, c0, c1);
  return textResult;
}

void FrameBuffer::GetTextSize(int size, const std::string& text, int& width, int& height,
                              int& descent) {
  width = height = descent = 0;
  if (!initialised) return;
  MutexHolder hold(&fontMutex);
  SelectSize(size);
  italic = false;
  previousGlyph = 0;
  int w = 0, h = 0, d = 0;
  for (const char* p = text.c_str(); *p != '\0'; ++p) {
    const auto byte = static_cast<uint8_t>(*p);
    w += RenderChar(byte, -1, -1, -1, 0);
    // The height comes from the byte's own glyph, untranslated and without
    // the fallback to a space.
    FTC_SBit sbit = nullptr;
    const FT_UInt glyph = FT_Get_Char_Index(face, byte);
    if (FTC_SBitCache_Lookup(sbitCache, &imageType, glyph, &sbit, nullptr) == 0 && !Unusable(sbit)) {
      glyphBitmap = sbit;
      h = std::max(h, static_cast<int>(sbit->height));
      d = std::max(d, static_cast<int>(sbit->height) - static_cast<int>(sbit->top));
    }
  }
  width = w;
  height = h;
  descent = d;
}
