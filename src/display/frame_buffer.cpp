#include "display/frame_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
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
    const int err = errno;
    log("Could not open frame buffer\n");
    LogOpenError(*platform_.io, platform_.paths.framebuffer, err);
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
  screen = device = static_cast<uint8_t*>(mapping);
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
  if (!PlaceOnDevice()) {
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
  }
  drawnFirst = kScreenHeight;
  drawnEnd = changedFirst = changedEnd = 0;
  storeRows = 0;

  fontFile = fontFile_;
  if (InitFont() != 0) {
    platform_.io->Munmap(device, mappedLength);
    screen = target = device = nullptr;
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
  if (device != nullptr) {
    platform_.io->Munmap(device, mappedLength);
    device = nullptr;
    mappedLength = 0;
  }
  screen = nullptr;
  target = nullptr;
  platform_.io->Close(fd);
  fd = -1;
  drawableWidth = drawableHeight = 0;
  // Rows drawn and not yet placed would otherwise be placed on a mapping
  // that is gone by the next Unlock.
  drawnFirst = kScreenHeight;
  drawnEnd = 0;
  placement = Placement();
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

  const int bpp = BytesPerPixel();
  const size_t bytes = static_cast<size_t>(right - left + 1) * bpp;
  uint8_t* first = target + static_cast<size_t>(top) * stride + static_cast<size_t>(left) * bpp;
  uint8_t pixel[4];
  ColourToPixelBytes(colour, pixel);
  if (bpp == 1 || (pixel[0] == pixel[1] && pixel[0] == pixel[2] && pixel[0] == pixel[3])) {
    // One byte value throughout (a clear to transparent, most often): each
    // row is set from it, stores only.
    const uint8_t value = bpp == 1 ? static_cast<uint8_t>(colour) : pixel[0];
    for (int64_t row = top; row < bottom; ++row) {
      std::memset(first + static_cast<size_t>(row - top) * stride, value, bytes);
    }
  } else {
    // Build the first row, then copy it down.
    FillRow(first, right - left + 1, colour);
    for (int64_t row = top + 1; row < bottom; ++row) {
      std::memcpy(first + static_cast<size_t>(row - top) * stride, first, bytes);
    }
  }
  MarkDrawn(top, bottom, left, right + 1);
  return 0;
}

void FrameBuffer::MarkDrawn(int64_t first, int64_t end, int64_t left, int64_t right) {
  if (target == screen) {
    MarkScreenRows(first, end);
  } else if (target != nullptr && target == backBuffer && first < end && left < right) {
    if (storeTop >= storeBottom) {
      storeTop = first;
      storeBottom = end;
      storeLeft = left;
      storeRight = right;
    } else {
      storeTop = std::min(storeTop, first);
      storeBottom = std::max(storeBottom, end);
      storeLeft = std::min(storeLeft, left);
      storeRight = std::max(storeRight, right);
    }
  }
}

void FrameBuffer::MarkScreenRows(int64_t first, int64_t end) {
  if (first >= end) return;
  drawnFirst = std::min(drawnFirst, static_cast<int>(first));
  drawnEnd = std::max(drawnEnd, static_cast<int>(end));
}

void FrameBuffer::ReleaseBackBuffer() {
  if (backBuffer == nullptr) return;
  if (target == backBuffer) target = screen;
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
  // The memory is kept from one band to the next; growing it is the only
  // allocation. The padding beyond the visible columns copies as zeros.
  if (backStore.size() < bytes) backStore.resize(bytes);
  uint8_t* block = backStore.data();
  backBuffer = block;
  backBufferRows = rows;
  backBufferBytes = bytes;

  const int bpp = BytesPerPixel();
  if (rows <= storeRows && colour == storeColour) {
    // All of the rectangle, rows past this band's included: a later, taller
    // band of the colour would otherwise show what an earlier one drew there.
    for (int64_t row = storeTop; row < storeBottom; ++row) {
      FillRow(block + static_cast<size_t>(row) * stride + static_cast<size_t>(storeLeft) * bpp,
              storeRight - storeLeft, colour);
    }
  } else {
    const size_t rowBytes = static_cast<size_t>(drawableWidth) * bpp;
    FillRow(block, drawableWidth, colour);
    std::memset(block + rowBytes, 0, stride - rowBytes);
    for (int row = 1; row < rows; ++row) std::memcpy(block + static_cast<size_t>(row) * stride, block, stride);
    storeRows = rows;
    storeColour = colour;
  }
  storeTop = storeBottom = 0;
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
  // Row by row: copies of a row's size stay in the processor's vector loop,
  // where one block copy of the whole band would go byte by byte.
  for (int64_t row = first; row < end; ++row) {
    std::memcpy(screen + static_cast<size_t>(row) * stride,
                backBuffer + static_cast<size_t>(row - y) * stride, stride);
  }
  MarkScreenRows(first, end);
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
  const uint8_t* pixel = target + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * bpp;
  // Fixed sizes, so the copy is a load and a store rather than a call.
  if (bpp == 4) {
    std::memcpy(out, pixel, 4);
  } else {
    *out = *pixel;
  }
  return 0;
}

bool FrameBuffer::AnyPixelSet(int x, int first, int end, int step) {
  if (first >= end || step < 1) return false;
  if (initialised && target != nullptr && x >= 0 && x < drawableWidth && first >= 0 &&
      end <= TargetRows()) {
    const uint8_t* p = target + static_cast<size_t>(x) * BytesPerPixel();
    for (int y = first; y < end; y += step) {
      if (p[static_cast<size_t>(y) * stride] != 0) return true;
    }
    return false;
  }
  uint8_t pixel[4] = {};
  for (int y = first; y < end; y += step) {
    ReadPixel(x, y, pixel);
    if (pixel[0] != 0) return true;
  }
  return false;
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

template <int kBytes>
void FrameBuffer::BlitRow(const uint8_t* src, int64_t count, uint8_t* out) const {
  // Index 0 is transparent and left alone; a bitmap is mostly that, with
  // runs of one index inside the shapes, so eight pixels are looked at
  // together: all transparent, all one index, or taken one by one.
  const auto put = [this](uint8_t* p, uint8_t index) {
    if (kBytes == 4) {
      std::memcpy(p, &palette[index], 4);
    } else {
      *p = index;
    }
  };
  int64_t c = 0;
  for (; c + 8 <= count; c += 8) {
    uint64_t eight;
    std::memcpy(&eight, src + c, 8);
    if (eight == 0) continue;
    uint8_t* p = out + c * kBytes;
    if (eight == (eight & 0xFF) * 0x0101010101010101ULL) {
      if (kBytes == 4) {
        const uint32_t word = palette[src[c]];
        for (int k = 0; k < 8; ++k) std::memcpy(p + k * 4, &word, 4);
      } else {
        std::memcpy(p, &eight, 8);
      }
      continue;
    }
    for (int k = 0; k < 8; ++k) {
      if (src[c + k] != 0) put(p + k * kBytes, src[c + k]);
    }
  }
  for (; c < count; ++c) {
    if (src[c] != 0) put(out + c * kBytes, src[c]);
  }
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
  // With no column on the target (c0 >= c1) the rows are not walked at all:
  // their pointers would lie past the target and the bitmap.
  for (int64_t r = r0; r < r1 && c0 < c1; ++r) {
    const uint8_t* src = bitmap + static_cast<size_t>(r) * static_cast<size_t>(w) + c0;
    uint8_t* dst = target + static_cast<size_t>(y + r) * stride;
    if (bitsPerPixel == 32) {
      BlitRow<4>(src, c1 - c0, dst + static_cast<size_t>(x + c0) * 4);
    } else {
      BlitRow<1>(src, c1 - c0, dst + static_cast<size_t>(x + c0));
    }
  }
  if (r0 < r1) MarkDrawn(y + r0, y + r1, x + c0, x + c1);
  return h;
}

int FrameBuffer::Lock() { return pthread_mutex_lock(&lock); }

int FrameBuffer::Unlock() {
  changedFirst = changedEnd = 0;
  if (drawnFirst < drawnEnd && initialised) {
    if (placement.scaled) {
      Present(drawnFirst, drawnEnd);
    } else {
      changedFirst = drawnFirst;
      changedEnd = drawnEnd;
    }
  }
  drawnFirst = kScreenHeight;
  drawnEnd = 0;
  if (unlockObserver != nullptr) unlockObserver(unlockContext);
  return pthread_mutex_unlock(&lock);
}

bool FrameBuffer::PlaceOnDevice() {
  placement = Placement();
  canvas.clear();
  deviceBits = bitsPerPixel;
  if (stride == 0 || (bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 32)) return false;
  // The visible area as far as the memory holds it at its stride: a device
  // reporting more (or a size past int) must not size the scaling tables
  // below beyond the mapping, nor turn negative.
  const size_t intMax = INT32_MAX;
  const int xres = static_cast<int>(std::min<size_t>({varInfo.xres, stride / (bitsPerPixel / 8), intMax}));
  const int yres = static_cast<int>(std::min<size_t>({varInfo.yres, mappedLength / stride, intMax}));
  if (xres <= kScreenWidth && yres <= kScreenHeight && bitsPerPixel != 16) return false;
  deviceStride = stride;
  deviceRows = yres;
  deviceColumns = xres;
  // As tall as the device, unless that would be wider than it.
  int64_t height = std::max(yres, 1);
  int64_t width = height * kScreenWidth / kScreenHeight;
  if (width > xres) {
    width = std::max(xres, 1);
    height = width * kScreenHeight / kScreenWidth;
  }
  placement.width = static_cast<int>(width);
  placement.height = static_cast<int>(std::max<int64_t>(height, 1));
  placement.x = (xres - placement.width) / 2;
  placement.y = (yres - placement.height) / 2;
  placement.scaled = true;
  sourceColumn.resize(static_cast<size_t>(placement.width));
  for (int dx = 0; dx < placement.width; ++dx) {
    sourceColumn[dx] = static_cast<int>(int64_t{dx} * kScreenWidth / placement.width);
  }
  sourceRow.resize(static_cast<size_t>(placement.height));
  for (int dy = 0; dy < placement.height; ++dy) {
    sourceRow[dy] = static_cast<int>(int64_t{dy} * kScreenHeight / placement.height);
  }
  firstPlacedRow.assign(kScreenHeight + 1, placement.height);
  for (int dy = placement.height - 1; dy >= 0; --dy) firstPlacedRow[sourceRow[dy]] = dy;
  for (int sy = kScreenHeight - 1; sy >= 0; --sy) {
    firstPlacedRow[sy] = std::min(firstPlacedRow[sy], firstPlacedRow[sy + 1]);
  }

  // The decoders draw true colour for a 16-bit device; it is converted as it is placed.
  if (bitsPerPixel == 16) bitsPerPixel = 32;
  stride = static_cast<size_t>(kScreenWidth) * BytesPerPixel();
  canvas.assign(stride * kScreenHeight, 0);
  screen = target = canvas.data();
  drawableWidth = kScreenWidth;
  drawableHeight = kScreenHeight;
  log("Screen %dx%d placed at %d,%d as %dx%d on the %dx%d framebuffer\n", kScreenWidth,
      kScreenHeight, placement.x, placement.y, placement.width, placement.height, xres, yres);
  return true;
}

void FrameBuffer::Present(int first, int end) {
  const int dyFirst = firstPlacedRow[first];
  const int dyEnd = firstPlacedRow[end];
  const int64_t top = std::max<int64_t>(placement.y + int64_t{dyFirst}, 0);
  const int64_t bottom = std::min<int64_t>(placement.y + int64_t{dyEnd}, deviceRows);
  const int x0 = std::max(placement.x, 0);
  const int x1 = std::min(placement.x + placement.width, deviceColumns);
  if (top >= bottom || x0 >= x1) return;
  const int outBytes = deviceBits / 8;
  const size_t rowBytes = static_cast<size_t>(x1 - x0) * outBytes;
  int previous = -1;
  for (int64_t row = top; row < bottom; ++row) {
    uint8_t* out = device + static_cast<size_t>(row) * deviceStride + static_cast<size_t>(x0) * outBytes;
    const int sy = sourceRow[row - placement.y];
    if (sy == previous) {
      // A repeated screen row: the device row above already holds it.
      std::memcpy(out, out - deviceStride, rowBytes);
      continue;
    }
    previous = sy;
    const uint8_t* in = canvas.data() + static_cast<size_t>(sy) * stride;
    const int* columns = sourceColumn.data() + (x0 - placement.x);
    const int count = x1 - x0;
    if (deviceBits == 8) {
      for (int n = 0; n < count; ++n) out[n] = in[columns[n]];
    } else if (deviceBits == 32) {
      for (int n = 0; n < count; ++n) std::memcpy(out + n * 4, in + columns[n] * 4, 4);
    } else {
      // Stored blue, green, red, opacity; a transparent pixel shows black.
      for (int n = 0; n < count; ++n) {
        const uint8_t* p = in + columns[n] * 4;
        const uint16_t v = p[3] == 0 ? 0
                                     : static_cast<uint16_t>((p[2] >> 3) << 11 | (p[1] >> 2) << 5 | p[0] >> 3);
        std::memcpy(out + n * 2, &v, 2);
      }
    }
  }
  changedFirst = static_cast<int>(top);
  changedEnd = static_cast<int>(bottom);
}

int FrameBuffer::GetBitsPerPixel() { return bitsPerPixel; }
