#pragma once

// Comparing what two decoders drew: both pictures show the subtitles over the
// same plain background, so a pixel counts as drawn when it differs from that
// background by more than a tolerance in any channel. Colours are not
// compared (palette and CLUT interpretation may differ); the drawn shapes,
// their bounding boxes and their overlap are.
//
// Header-only, used by tools/zuva-shapecmp.cpp.

#ifdef ZUVA_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace interop {

struct Mask {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> set;  // 1 where drawn, row after row

  bool At(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height &&
           set[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] != 0;
  }
  size_t Count() const {
    size_t n = 0;
    for (uint8_t v : set) n += v;
    return n;
  }
};

// `rgb` holds width * height * 3 bytes; `background` is 0xRRGGBB.
inline Mask MaskFromRgb(const std::vector<uint8_t>& rgb, int width, int height,
                        uint32_t background, int tolerance) {
  Mask m;
  if (width <= 0 || height <= 0 ||
      rgb.size() < static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
    return m;
  }
  m.width = width;
  m.height = height;
  m.set.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  const int bg[3] = {static_cast<int>((background >> 16) & 0xFF),
                     static_cast<int>((background >> 8) & 0xFF), static_cast<int>(background & 0xFF)};
  for (size_t i = 0; i < m.set.size(); ++i) {
    for (int c = 0; c < 3; ++c) {
      if (std::abs(rgb[i * 3 + static_cast<size_t>(c)] - bg[c]) > tolerance) {
        m.set[i] = 1;
        break;
      }
    }
  }
  return m;
}

// x1 and y1 exclusive; an empty mask gives an empty box (x0 >= x1).
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool Empty() const { return x0 >= x1 || y0 >= y1; }
};

inline Box BoundingBox(const Mask& m) {
  Box b{m.width, m.height, 0, 0};
  for (int y = 0; y < m.height; ++y) {
    for (int x = 0; x < m.width; ++x) {
      if (!m.At(x, y)) continue;
      if (x < b.x0) b.x0 = x;
      if (y < b.y0) b.y0 = y;
      if (x + 1 > b.x1) b.x1 = x + 1;
      if (y + 1 > b.y1) b.y1 = y + 1;
    }
  }
  if (b.x1 == 0) return Box{};
  return b;
}

// The largest distance between corresponding edges of two boxes.
inline int EdgeDistance(const Box& a, const Box& b) {
  int d = std::abs(a.x0 - b.x0);
  d = std::max(d, std::abs(a.y0 - b.y0));
  d = std::max(d, std::abs(a.x1 - b.x1));
  return std::max(d, std::abs(a.y1 - b.y1));
}

// Intersection over union of the drawn pixels after reducing each mask to
// blocks of `block` x `block` pixels (a block is drawn when any of its pixels
// is); block 1 compares pixel by pixel. Masks of different sizes are compared
// over the area they share; two empty masks agree fully.
inline double Overlap(const Mask& a, const Mask& b, int block = 1) {
  if (block < 1) block = 1;
  const int w = std::max(a.width, b.width);
  const int h = std::max(a.height, b.height);
  size_t both = 0, either = 0;
  for (int by = 0; by < h; by += block) {
    for (int bx = 0; bx < w; bx += block) {
      bool inA = false, inB = false;
      for (int y = by; y < by + block && y < h; ++y) {
        for (int x = bx; x < bx + block && x < w; ++x) {
          inA = inA || a.At(x, y);
          inB = inB || b.At(x, y);
        }
      }
      both += (inA && inB) ? 1 : 0;
      either += (inA || inB) ? 1 : 0;
    }
  }
  return either == 0 ? 1.0 : static_cast<double>(both) / static_cast<double>(either);
}

// The mask sampled onto width x height, nearest neighbour: pixel (x, y)
// takes (x * in.width / width, y * in.height / height), which is how zuva
// scales a declared display onto its screen and its screen onto a larger
// framebuffer. A (0, 0) offset and a size of at least the sampled one.
inline Mask Resample(const Mask& in, int width, int height) {
  Mask m;
  if (in.width <= 0 || in.height <= 0 || width <= 0 || height <= 0) return m;
  m.width = width;
  m.height = height;
  m.set.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    const int sy = static_cast<int>(int64_t{y} * in.height / height);
    for (int x = 0; x < width; ++x) {
      m.set[static_cast<size_t>(y) * width + x] =
          in.At(static_cast<int>(int64_t{x} * in.width / width), sy) ? 1 : 0;
    }
  }
  return m;
}

// A picture of the display, whatever its size, as zuva shows it on a
// screenWidth x screenHeight framebuffer: sampled onto the 720 x 576
// screen, and on a larger framebuffer that screen sampled to the
// framebuffer's height (or its width, where that is narrower than 5:4) and
// centred.
inline Mask AsShownOn(const Mask& display, int screenWidth, int screenHeight) {
  Mask screen = Resample(display, 720, 576);
  if (screenWidth <= 720 && screenHeight <= 576) return screen;
  int h = screenHeight;
  int w = static_cast<int>(int64_t{h} * 720 / 576);
  if (w > screenWidth) {
    w = screenWidth;
    h = static_cast<int>(int64_t{w} * 576 / 720);
  }
  const Mask placed = Resample(screen, w, h);
  Mask m;
  m.width = screenWidth;
  m.height = screenHeight;
  m.set.assign(static_cast<size_t>(screenWidth) * static_cast<size_t>(screenHeight), 0);
  const int x0 = (screenWidth - w) / 2;
  const int y0 = (screenHeight - h) / 2;
  for (int y = 0; y < h; ++y) {
    std::copy_n(placed.set.begin() + static_cast<ptrdiff_t>(y) * w, w,
                m.set.begin() + static_cast<ptrdiff_t>(y + y0) * screenWidth + x0);
  }
  return m;
}

#ifdef ZUVA_HAVE_PNG
// Reads any PNG as 8-bit RGB (palettes expanded, alpha and 16-bit depth
// dropped). False with a message when the file is not a readable PNG.
inline bool ReadPngRgb(const std::string& path, std::vector<uint8_t>& rgb, int& width,
                       int& height, std::string& error) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
    error = path + ": " + image.message;
    return false;
  }
  image.format = PNG_FORMAT_RGB;
  if (image.width == 0 || image.height == 0 || image.width > 8192 || image.height > 8192) {
    png_image_free(&image);
    error = path + ": unexpected picture size";
    return false;
  }
  rgb.assign(PNG_IMAGE_SIZE(image), 0);
  png_color background{0, 0, 0};
  if (png_image_finish_read(&image, &background, rgb.data(), 0, nullptr) == 0) {
    error = path + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  width = static_cast<int>(image.width);
  height = static_cast<int>(image.height);
  return true;
}
#else
inline bool ReadPngRgb(const std::string& path, std::vector<uint8_t>&, int&, int&,
                       std::string& error) {
  error = path + ": built without libpng";
  return false;
}
#endif

// The frame a viewer sees at `stcMs` from the text of a replay's frames.tsv
// (a header line, then frame, file, stc_ms, time, what separated by tabs):
// the file of the last frame taken at or before that time, or "" when the
// screen was still untouched then. Frames are listed in time order.
inline std::string FrameAt(const std::string& tsv, long long stcMs) {
  std::string found;
  size_t pos = tsv.find('\n');  // the header
  while (pos != std::string::npos && pos + 1 < tsv.size()) {
    const size_t start = pos + 1;
    pos = tsv.find('\n', start);
    const std::string line = tsv.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
    const size_t t1 = line.find('\t');
    const size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    const size_t t3 = t2 == std::string::npos ? t2 : line.find('\t', t2 + 1);
    if (t3 == std::string::npos) continue;
    char* end = nullptr;
    const std::string stc = line.substr(t2 + 1, t3 - t2 - 1);
    const long long ms = std::strtoll(stc.c_str(), &end, 10);
    if (stc.empty() || end == nullptr || *end != '\0') continue;
    if (ms > stcMs) break;
    found = line.substr(t1 + 1, t2 - t1 - 1);
  }
  return found;
}

}  // namespace interop
