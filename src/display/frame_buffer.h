#pragma once

#include <linux/fb.h>
#include <pthread.h>

#include <cstdint>
#include <string>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_CACHE_H

#include "platform/platform.h"

class Translator;

// The screen: a 720 x 576 drawing surface over the framebuffer device, with a
// back buffer of whole rows, a 256-entry palette for bitmaps, FreeType text and
// the drawing lock that the main thread and the reader thread share.
class FrameBuffer {
 public:
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
  bool IsInitialised() const { return initialised; }

 private:
  int GetTextWidth(const char* text);
  int RenderChar(uint8_t byte, int x, int y, int limit, uint32_t colour, int draw);
  FT_Error RequestFace(FTC_FaceID faceId, FT_Library lib, FT_Face* aface);
  static FT_Error RequestFaceThunk(FTC_FaceID faceId, FT_Library lib, FT_Pointer requestData,
                                   FT_Face* aface);

  Translator* translator = nullptr;
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
  size_t mappedLength = 0;
};
