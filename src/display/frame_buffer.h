#pragma once

#include <linux/fb.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_CACHE_H
#include FT_SYSTEM_H

#include "display/font_locator.h"
#include "platform/platform.h"

class Translator;

// The screen: a 720 x 576 drawing surface over the framebuffer device, with a
// back buffer of whole rows, a 256-entry palette for bitmaps, FreeType text and
// the drawing lock that the main thread and the reader thread share.
//
// On a device of 720 x 576 or less the drawing surface is the device memory
// itself. On a larger one (or one of 16 bits per pixel) the decoders still
// draw on a 720 x 576 surface in memory, and Unlock places the rows that the
// drawing sequence changed on the device: scaled by whole pixels to the
// device's height (nearest neighbour, so palette indices stay exact), centred.
//
// Nothing a caller passes can make it touch memory outside the mapped screen
// or the back buffer: every operation clips to its target, and while the
// object is not initialised (before Init, after Close or a failed Init) the
// drawing, reading and text operations leave all memory alone.
class FrameBuffer {
 public:
  static constexpr int kScreenWidth = 720;
  static constexpr int kScreenHeight = 576;
  // The daemon's one-line message band at the top of the screen.
  static constexpr int kMessageLineTop = 15;
  static constexpr int kMessageLineHeight = 40;
  // The small-bitmap cache keeps a glyph only while its advance and its
  // height above the baseline fit a signed byte; beyond this pixel size most
  // glyphs would be rendered at great cost and then dropped, and a huge size
  // would make FreeType allocate a bitmap of gigabytes. Larger sizes are
  // clamped to it.
  static constexpr int kMaxFontSize = 120;

  explicit FrameBuffer(const Platform& platform = Platform::Default());
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;

  virtual int Init(const std::string& fontFile);
  virtual void Close();
  virtual int ClearScreen();
  virtual int RenderText(const std::string& text, int x, int y, int width, int align, int size,
                         uint32_t colour);
  // Text of the daemon's own, such as the message line: drawn as RenderText
  // draws it but without the translation table, which is there for the
  // broadcaster's codes (a Russian table would turn "Subtitles" into
  // Cyrillic letters).
  int RenderMessage(const std::string& text, int x, int y, int width, int align, int size,
                    uint32_t colour);
  // The text as RenderText draws it (left-aligned) in `colour`, over an
  // outline in `outlineColour`: the text drawn at the four corners
  // (+-outline, +-outline) and, for outline > 1, also at the four sides
  // (+-outline, 0) and (0, +-outline). The screen is the same as from those
  // nine RenderText calls, at a fraction of the cost.
  virtual int RenderOutlinedText(const std::string& text, int x, int y, int width, int size,
                                 uint32_t colour, uint32_t outlineColour, int outline);
  virtual int FillRect(int x, int y, int w, int h, uint32_t colour);
  virtual bool AllocBackBuffer(int rows, uint32_t colour);
  virtual bool FreeBackBuffer();
  virtual bool CopyBackBuffer(int y);
  virtual bool UseBackBuffer(bool on);
  // Copies one pixel of the drawing target (the back buffer while it is in
  // use). Outside it the pixel reads as zero, -1 is returned and the line
  // "ReadPixel(X, Y) lies outside the drawing target" is logged, so a caller
  // probing past the screen shows up in the log.
  virtual int ReadPixel(int x, int y, uint8_t* out);
  // Whether ReadPixel would give a non-zero first byte for any of the pixels
  // (x, first), (x, first + step), ... above row `end` (step > 0). The
  // column is read straight where it lies on this object's own drawing
  // target, and through ReadPixel, pixel by pixel, where it does not.
  bool AnyPixelSet(int x, int first, int end, int step);
  virtual void GetTextSize(int size, const std::string& text, int& width, int& height,
                           int& descent);
  virtual void SetPaletteColor(int index, uint32_t colour);
  virtual int BlitBitmap(const uint8_t* bitmap, int w, int h, int x, int y);
  virtual int Lock();
  virtual int Unlock();
  virtual int GetBitsPerPixel();
  virtual ~FrameBuffer();

  void SetTranslator(Translator* t) { translator = t; }
  // The fonts Init tries when the one it is given cannot be opened.
  void SetFontFallback(const FontFallback& fallback) { fontFallback = fallback; }
  bool IsInitialised() const { return initialised; }

  // Columns and rows of the screen that can be drawn: 720 x 576, less when
  // the device's memory cannot hold that much at its row stride.
  int DrawableWidth() const { return drawableWidth; }
  int DrawableHeight() const { return drawableHeight; }

  // A colour value (red, green, blue, opacity from the high byte down) as the
  // four bytes a 32-bit pixel holds in address order: blue, green, red, opacity.
  static void ColourToPixelBytes(uint32_t colour, uint8_t out[4]) {
    out[0] = static_cast<uint8_t>(colour >> 8);   // blue
    out[1] = static_cast<uint8_t>(colour >> 16);  // green
    out[2] = static_cast<uint8_t>(colour >> 24);  // red
    out[3] = static_cast<uint8_t>(colour);        // opacity
  }
  // FreeType's 26.6 fixed-point kerning to whole pixels, rounding down.
  static int KerningToPixels(long delta);

  // Called at the end of every drawing sequence, in Unlock while the lock is
  // still held, so an observer (the replay tool) sees a consistent screen.
  // Set it before any thread draws; null removes it.
  using UnlockObserver = void (*)(void* context);
  void SetUnlockObserver(UnlockObserver observer, void* context) {
    unlockObserver = observer;
    unlockContext = context;
  }
  // For the observer: the device rows [first, end) that the drawing sequence
  // being ended changed (first == end when it changed none).
  void ChangedDeviceRows(int& first, int& end) const {
    first = changedFirst;
    end = changedEnd;
  }
  // Where the 720 x 576 screen lies on the device, in device pixels.
  struct Placement {
    int x = 0, y = 0, width = 0, height = 0;
    bool scaled = false;
  };
  const Placement& GetPlacement() const { return placement; }

 private:
  // Text state and FreeType calls are serialised by fontMutex, because the
  // row measurement runs outside the drawing lock and FreeType's caches are
  // not safe to use from two threads at once.
  int GetTextWidth(const char* text);
  int RenderChar(uint8_t byte, int64_t x, int64_t y, int64_t limit, int draw);
  // The character a byte of text stands for: through the translation table,
  // except for RenderMessage's text.
  uint32_t CharacterOf(uint8_t byte) const;
  // Adds the set pixels of glyphBitmap, its origin at (x, y), to textRuns.
  void CollectGlyph(int64_t x, int64_t y);
  void PaintRuns(int64_t x, int64_t y, uint32_t colour);
  bool TextRunsMatch(const std::string& text, int size, int width, int align) const;
  // Fills textRuns (and textResult) for the text unless they already hold it.
  void LayOutText(const std::string& text, int size, int width, int align);
  static constexpr int64_t kMaxMaskOutline = 64;
  void SelectSize(int size);
  FT_Error RequestFace(FTC_FaceID faceId, FT_Library lib, FT_Face* aface);
  static FT_Error RequestFaceThunk(FTC_FaceID faceId, FT_Library lib, FT_Pointer requestData,
                                   FT_Face* aface);
  int InitFont();
  bool ChooseFont();
  // The glyph for a character the font lacks, from the fallback font (chosen
  // at the first such character); 0 when no fallback font has it. Logs once
  // per script.
  FT_UInt FallbackGlyph(uint32_t c);
  void ReleaseFont();

  int BytesPerPixel() const { return bitsPerPixel == 32 ? 4 : 1; }
  // Rows of the current drawing target (the screen or the back buffer).
  int TargetRows() const;
  // `count` pixels of one colour from p on; inline, as text is painted in
  // short runs.
  void FillRow(uint8_t* p, int64_t count, uint32_t colour) const {
    if (bitsPerPixel != 32) {
      std::memset(p, static_cast<uint8_t>(colour), static_cast<size_t>(count));
      return;
    }
    uint8_t bytes[4];
    ColourToPixelBytes(colour, bytes);
    uint32_t word;
    std::memcpy(&word, bytes, 4);
    FillWords(p, count, word);
  }
  // `count` 32-bit pixels of the stored word from p on.
  static void FillWords(uint8_t* p, int64_t count, uint32_t word) {
    if ((reinterpret_cast<uintptr_t>(p) & 3) == 0) {
      uint32_t* q = reinterpret_cast<uint32_t*>(p);
      for (int64_t n = 0; n < count; ++n) q[n] = word;
    } else {
      for (int64_t n = 0; n < count; ++n) std::memcpy(p + n * 4, &word, 4);
    }
  }
  // One row of BlitBitmap: `count` palette indices to pixels of kBytes bytes.
  template <int kBytes>
  void BlitRow(const uint8_t* src, int64_t count, uint8_t* out) const;
  void ReleaseBackBuffer();
  // Notes rows [first, end) of the drawing target as drawn; only rows of the
  // screen itself count.
  void MarkDrawn(int64_t first, int64_t end, int64_t left, int64_t right);
  void MarkScreenRows(int64_t first, int64_t end);
  bool PlaceOnDevice();
  void Present(int first, int end);

  Translator* translator = nullptr;
  // False only while RenderMessage lays out its text (under fontMutex).
  bool translating = true;
  // Stored already in the 32-bit pixel byte order, so a blit copies it as is.
  uint32_t palette[256] = {};

  // Font engine state.
  FT_Library library = nullptr;
  FTC_Manager manager = nullptr;
  FTC_SBitCache sbitCache = nullptr;
  FTC_SBit glyphBitmap = nullptr;
  FTC_ImageTypeRec imageType = {};
  FT_Face face = nullptr;
  FT_UInt previousGlyph = 0;
  // The font for characters the configured one lacks: a file of the
  // fallback list, looked for once per Init; empty when there is none.
  std::string fallbackFile;
  bool fallbackSearched = false;
  // Scripts already named in the log as missing from the font, a bit each.
  unsigned missingScriptsLogged = 0;

  int fd = -1;
  fb_var_screeninfo varInfo = {};
  fb_fix_screeninfo fixInfo = {};
  uint8_t* target = nullptr;
  uint8_t* backBuffer = nullptr;
  uint8_t* screen = nullptr;
  int backBufferRows = 0;
  int bitsPerPixel = 0;
  std::string fontFile;
  int kerning = 0;
  bool italic = false;
  bool initialised = false;
  pthread_mutex_t lock;

  Platform platform_;
  UnlockObserver unlockObserver = nullptr;
  void* unlockContext = nullptr;
  size_t mappedLength = 0;
  size_t stride = 0;
  int drawableWidth = 0;
  int drawableHeight = 0;
  size_t backBufferBytes = 0;
  pthread_mutex_t fontMutex;
  int lastClampedSize = 0;
  // FreeType's allocator: zeroed blocks (see InitFont).
  FT_MemoryRec_ ftMemory = {};
  FontFallback fontFallback = FontFallback::Default();

  // The back buffer's memory, kept from band to band. Its first storeRows
  // rows hold storeColour everywhere but in the rectangle drawn since, so the
  // next band of that colour needs only that rectangle refilled.
  std::vector<uint8_t> backStore;
  int storeRows = 0;
  uint32_t storeColour = 0;
  int64_t storeTop = 0, storeBottom = 0, storeLeft = 0, storeRight = 0;

  // The last text drawn, as runs of set pixels relative to its origin: the
  // outline copies and the text itself of a subtitle row differ only in place
  // and colour, so the glyphs are looked up and scanned once per row.
  struct TextRun {
    int64_t x0, x1;  // columns [x0, x1)
    int32_t dy;
  };
  std::vector<TextRun> textRuns;
  std::vector<uint32_t> textKey;  // the translated characters
  int textKeySize = 0, textKeyWidth = 0, textKeyAlign = 0, textResult = 0;
  bool textValid = false;
  // Scratch for RenderOutlinedText, kept from row to row.
  std::vector<uint8_t> textMask, wideMask, lineMask;

  // Screen rows drawn in the current sequence, and the device rows changed
  // by the last one.
  int drawnFirst = kScreenHeight, drawnEnd = 0;
  int changedFirst = 0, changedEnd = 0;

  // A device larger than the screen: the screen lives in `canvas`, and
  // Present scales its rows onto the device memory.
  Placement placement;
  std::vector<uint8_t> canvas;
  uint8_t* device = nullptr;
  size_t deviceStride = 0;
  int deviceBits = 0;
  int deviceRows = 0, deviceColumns = 0;
  std::vector<int> sourceColumn;  // per placed column
  std::vector<int> sourceRow;     // per placed row
  std::vector<int> firstPlacedRow;  // per screen row, and one past the last
};
