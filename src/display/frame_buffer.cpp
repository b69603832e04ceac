#include "display/frame_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "config/translator.h"

FrameBuffer::FrameBuffer(const Platform& platform) : platform_(platform) {
  pthread_mutex_init(&lock, nullptr);
  pthread_mutex_init(&fontMutex, nullptr);
}

FrameBuffer::~FrameBuffer() {
  // The owner is expected to Close first; if it did not, the mapping, the
  // descriptor and FreeType would outlive the object with nobody to free them.
  if (initialised) FrameBuffer::Close();
  ReleaseBackBuffer();
  pthread_mutex_destroy(&fontMutex);
  pthread_mutex_destroy(&lock);
}

void FrameBuffer::ColourToPixelBytes(uint32_t colour, uint8_t out[4]) {
  out[0] = static_cast<uint8_t>(colour >> 8);   // blue
  out[1] = static_cast<uint8_t>(colour >> 16);  // green
  out[2] = static_cast<uint8_t>(colour >> 24);  // red
  out[3] = static_cast<uint8_t>(colour);        // opacity
}

void FrameBuffer::StorePixel(uint8_t* p, uint32_t colour) const {
  if (bitsPerPixel == 32) {
    ColourToPixelBytes(colour, p);
  } else {
    *p = static_cast<uint8_t>(colour);
  }
}

int FrameBuffer::TargetRows() const {
  if (target != nullptr && target == backBuffer) return backBufferRows;
  return drawableHeight;
}

int FrameBuffer::Init(const std::string& fontFile_) {
  // A second Init without Close would leak the mapping, the descriptor and
  // FreeType; a back buffer left over from before has the old device's stride.
  if (initialised) Close();
  ReleaseBackBuffer();

  fd = platform_.io->Open(platform_.paths.framebuffer.c_str(), O_RDWR);
  if (fd < 0) {
    log("Could not open frame buffer\n");
    fd = -1;
    return -1;
  }
  if (platform_.io->Ioctl(fd, FBIOGET_VSCREENINFO, &varInfo) < 0) {
    log("Could not execute FBIOGET_VSCREENINFO\n");
    platform_.io->Close(fd);
    fd = -1;
    return -1;
  }
  if (platform_.io->Ioctl(fd, FBIOGET_FSCREENINFO, &fixInfo) < 0) {
    log("Could not execute FBIOGET_FSCREENINFO\n");
    platform_.io->Close(fd);
    fd = -1;
    return -1;
  }
  log("Found %dk video memory\n", static_cast<int>(fixInfo.smem_len >> 10));

  void* mapping = platform_.io->Mmap(nullptr, fixInfo.smem_len, PROT_READ | PROT_WRITE,
                                     MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED || mapping == nullptr) {
    log("Could not mmap(screen memory)\n");
    platform_.io->Close(fd);
    fd = -1;
    return -1;
  }
  screen = static_cast<uint8_t*>(mapping);
  target = screen;
  mappedLength = fixInfo.smem_len;
  backBuffer = nullptr;
  backBufferRows = 0;

  log("Current framebuffer info\n");
  bitsPerPixel = static_cast<int>(varInfo.bits_per_pixel);
  log("bpp=%d\n", bitsPerPixel);
  log("width=%d\n", static_cast<int>(varInfo.xres));
  log("height=%d\n", static_cast<int>(varInfo.yres));
  log("stride=%d\n", static_cast<int>(fixInfo.line_length));

  // The drawing code works on a fixed 720 x 576 screen; whatever the device
  // reports, only what its memory really holds at its stride may be touched.
  stride = fixInfo.line_length;
  if (stride == 0) {
    drawableWidth = drawableHeight = 0;
  } else {
    drawableWidth = static_cast<int>(std::min<size_t>(kScreenWidth, stride / BytesPerPixel()));
    drawableHeight = static_cast<int>(std::min<size_t>(kScreenHeight, mappedLength / stride));
  }
  if (drawableWidth < kScreenWidth || drawableHeight < kScreenHeight) {
    log("Screen memory holds only %dx%d of the %dx%d screen, drawing is clipped to it\n",
        drawableWidth, drawableHeight, kScreenWidth, kScreenHeight);
  }

  fontFile = fontFile_;
  if (InitFont() != 0) {
    platform_.io->Munmap(screen, mappedLength);
    screen = target = nullptr;
    mappedLength = 0;
    drawableWidth = drawableHeight = 0;
    platform_.io->Close(fd);
    fd = -1;
    return -1;
  }
  initialised = true;
  return 0;
}

void FrameBuffer::Close() {
  if (!initialised) return;
  ReleaseFont();
  if (screen != nullptr) {
    platform_.io->Munmap(screen, mappedLength);
    screen = nullptr;
    mappedLength = 0;
  }
  target = nullptr;
  platform_.io->Close(fd);
  fd = -1;
  drawableWidth = drawableHeight = 0;
  initialised = false;
}

int FrameBuffer::ClearScreen() { return FillRect(0, 0, kScreenWidth, kScreenHeight, 0); }

int FrameBuffer::FillRect(int x, int y, int w, int h, uint32_t colour) {
  if (!initialised || target == nullptr) return -1;

  // The right edge is inclusive: w + 1 columns from x, at most up to 719.
  int64_t left = std::clamp<int64_t>(x, 0, kScreenWidth - 1);
  int64_t width = w;
  if (left + width > kScreenWidth - 1) width = kScreenWidth - 1 - left;
  if (width < 1) return 0;
  int64_t right = std::min<int64_t>(left + width, drawableWidth - 1);
  if (h < 1 || right < left) return 0;

  const int64_t rows = TargetRows();
  const int64_t top = std::max<int64_t>(y, 0);
  const int64_t bottom = std::min<int64_t>(static_cast<int64_t>(y) + h, rows);
  if (top != y || bottom != static_cast<int64_t>(y) + h) {
    log("FillRect rows %d..%lld clipped to the drawing target's %lld rows\n", y,
        static_cast<long long>(static_cast<int64_t>(y) + h - 1), static_cast<long long>(rows));
  }
  if (top >= bottom) return 0;

  // Build the first row pixel by pixel, then copy it down.
  const int bpp = BytesPerPixel();
  const size_t bytes = static_cast<size_t>(right - left + 1) * bpp;
  uint8_t* first = target + static_cast<size_t>(top) * stride + static_cast<size_t>(left) * bpp;
  for (int64_t col = left; col <= right; ++col) {
    StorePixel(first + static_cast<size_t>(col - left) * bpp, colour);
  }
  for (int64_t row = top + 1; row < bottom; ++row) {
    std::memcpy(first + static_cast<size_t>(row - top) * stride, first, bytes);
  }
  return 0;
}

void FrameBuffer::ReleaseBackBuffer() {
  if (backBuffer == nullptr) return;
  if (target == backBuffer) target = screen;
  std::free(backBuffer);
  backBuffer = nullptr;
  backBufferRows = 0;
  backBufferBytes = 0;
}

bool FrameBuffer::AllocBackBuffer(int rows, uint32_t colour) {
  // One back buffer at a time; a caller that forgot to free would leak it.
  ReleaseBackBuffer();
  // A closed screen draws nothing; Init has said why, once.
  if (!initialised) return false;
  // A band taller than the screen could never be shown in full; refusing it
  // keeps a wild setting from asking for gigabytes.
  if (rows < 1 || rows > kScreenHeight || stride == 0) {
    log("Could not allocate Back buffer...\n");
    return false;
  }
  const size_t bytes = static_cast<size_t>(rows) * stride;
  // Zeroed, so that the padding beyond the visible columns copies as zeros.
  auto* block = static_cast<uint8_t*>(std::calloc(bytes, 1));
  if (block == nullptr) {
    log("Could not allocate Back buffer...\n");
    return false;
  }
  backBuffer = block;
  backBufferRows = rows;
  backBufferBytes = bytes;

  const int bpp = BytesPerPixel();
  const size_t rowBytes = static_cast<size_t>(drawableWidth) * bpp;
  for (int col = 0; col < drawableWidth; ++col) StorePixel(block + static_cast<size_t>(col) * bpp, colour);
  for (int row = 1; row < rows; ++row) std::memcpy(block + static_cast<size_t>(row) * stride, block, rowBytes);
  return true;
}

bool FrameBuffer::FreeBackBuffer() {
  if (backBuffer == nullptr) {
    if (!initialised) return false;
    log("Could not free empty Back buffer...\n");
    return false;
  }
  UseBackBuffer(false);
  ReleaseBackBuffer();
  return true;
}

bool FrameBuffer::CopyBackBuffer(int y) {
  if (backBuffer == nullptr) {
    if (!initialised) return false;
    log("Error...no Back buffer.\n");
    return false;
  }
  if (!initialised || screen == nullptr) return false;

  const int64_t first = std::max<int64_t>(y, 0);
  const int64_t end = std::min<int64_t>(static_cast<int64_t>(y) + backBufferRows, drawableHeight);
  if (first >= end) {
    log("Back buffer rows %d..%d lie off the screen, nothing copied\n", y,
        static_cast<int>(std::min<int64_t>(static_cast<int64_t>(y) + backBufferRows - 1, INT32_MAX)));
    return false;
  }
  if (first != y || end != static_cast<int64_t>(y) + backBufferRows) {
    log("Back buffer copy clipped to screen rows %d..%d\n", static_cast<int>(first),
        static_cast<int>(end - 1));
  }
  std::memcpy(screen + static_cast<size_t>(first) * stride,
              backBuffer + static_cast<size_t>(first - y) * stride,
              static_cast<size_t>(end - first) * stride);
  return true;
}

bool FrameBuffer::UseBackBuffer(bool on) {
  target = (on && backBuffer != nullptr) ? backBuffer : screen;
  return true;
}

int FrameBuffer::ReadPixel(int x, int y, uint8_t* out) {
  if (out == nullptr) {
    log("NULL pointer in ReadPixel\n");
    return -1;
  }
  const int bpp = BytesPerPixel();
  if (!initialised || target == nullptr) {
    std::memset(out, 0, bpp);
    return -1;
  }
  if (x < 0 || x >= drawableWidth || y < 0 || y >= TargetRows()) {
    // Reads as an empty pixel, so a caller that ignores the result sees nothing there.
    std::memset(out, 0, bpp);
    log("ReadPixel(%d, %d) lies outside the drawing target\n", x, y);
    return -1;
  }
  std::memcpy(out, target + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * bpp, bpp);
  return 0;
}

void FrameBuffer::SetPaletteColor(int index, uint32_t colour) {
  if (index < 0 || index > 255) {
    log("SetPaletteColor: index %d out of range\n", index);
    return;
  }
  uint8_t bytes[4];
  ColourToPixelBytes(colour, bytes);
  std::memcpy(&palette[index], bytes, 4);
}

int FrameBuffer::BlitBitmap(const uint8_t* bitmap, int w, int h, int x, int y) {
  log("      BlitBitmap: w=%d, h=%d, xpos=%d, ypos=%d\n", w, h, x, y);
  if (h < 1) return 0;
  if (!initialised || target == nullptr) return 0;
  if (bitmap == nullptr) {
    log("BlitBitmap: no bitmap\n");
    return 0;
  }
  if (w < 1) return h;

  // Only the part of the rectangle that lies on the target is copied.
  const int64_t rows = TargetRows();
  const int64_t c0 = std::max<int64_t>(0, -static_cast<int64_t>(x));
  const int64_t c1 = std::min<int64_t>(w, static_cast<int64_t>(drawableWidth) - x);
  const int64_t r0 = std::max<int64_t>(0, -static_cast<int64_t>(y));
  const int64_t r1 = std::min<int64_t>(h, rows - y);
  if (c0 != 0 || c1 != w || r0 != 0 || r1 != h) {
    log("BlitBitmap clipped to the drawing target\n");
  }
  const int bpp = BytesPerPixel();
  for (int64_t r = r0; r < r1; ++r) {
    const uint8_t* src = bitmap + static_cast<size_t>(r) * static_cast<size_t>(w);
    uint8_t* dst = target + static_cast<size_t>(y + r) * stride;
    for (int64_t c = c0; c < c1; ++c) {
      const uint8_t index = src[c];
      if (index == 0) continue;  // transparent
      uint8_t* p = dst + static_cast<size_t>(x + c) * bpp;
      if (bpp == 4) {
        std::memcpy(p, &palette[index], 4);
      } else {
        *p = index;
      }
    }
  }
  return h;
}

int FrameBuffer::Lock() { return pthread_mutex_lock(&lock); }

int FrameBuffer::Unlock() {
  if (unlockObserver != nullptr) unlockObserver(unlockContext);
  return pthread_mutex_unlock(&lock);
}

int FrameBuffer::GetBitsPerPixel() { return bitsPerPixel; }
