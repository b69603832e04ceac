#pragma once

#include <linux/fb.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

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
// Nothing a caller passes can make it touch memory outside the mapped screen
// or the back buffer: every operation clips to its target, and while the
// object is not initialised (before Init, after Close or a failed Init) the
// drawing, reading and text operations leave all memory alone.
class FrameBuffer {
 public:
  static constexpr int kScreenWidth = 720;
  static constexpr int kScreenHeight = 576;
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
  static void ColourToPixelBytes(uint32_t colour, uint8_t out[4]);
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

 private:
  // Text state and FreeType calls are serialised by fontMutex, because the
  // row measurement runs outside the drawing lock and FreeType's caches are
  // not safe to use from two threads at once.
  int GetTextWidth(const char* text);
  int RenderChar(uint8_t byte, int64_t x, int64_t y, int64_t limit, uint32_t colour, int draw);
  void PaintGlyph(int64_t x, int64_t y, uint32_t colour);
  void SelectSize(int size);
  FT_Error RequestFace(FTC_FaceID faceId, FT_Library lib, FT_Face* aface);
  static FT_Error RequestFaceThunk(FTC_FaceID faceId, FT_Library lib, FT_Pointer requestData,
                                   FT_Face* aface);
  int InitFont();
  bool ChooseFont();
  void ReleaseFont();

  int BytesPerPixel() const { return bitsPerPixel == 32 ? 4 : 1; }
  // Rows of the current drawing target (the screen or the back buffer).
  int TargetRows() const;
  void StorePixel(uint8_t* p, uint32_t colour) const;
  void ReleaseBackBuffer();

  Translator* translator = nullptr;
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
};
