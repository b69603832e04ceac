#include "sim/png_writer.h"

#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#ifdef ZUVA_HAVE_PNG
#include <png.h>
#endif

#include "sim/sim_framebuffer.h"

namespace {
uint8_t Blend(uint32_t fg, uint32_t bg, uint32_t alpha) {
  return static_cast<uint8_t>((fg * alpha + bg * (255 - alpha) + 127) / 255);
}

// Composites colour value `c` (0xRRGGBBAA) over the 0xRRGGBB background.
void Composite(uint32_t c, uint32_t background, uint8_t* out) {
  const uint32_t alpha = c & 0xFF;
  out[0] = Blend(c >> 24, (background >> 16) & 0xFF, alpha);
  out[1] = Blend((c >> 16) & 0xFF, (background >> 8) & 0xFF, alpha);
  out[2] = Blend((c >> 8) & 0xFF, background & 0xFF, alpha);
}
}  // namespace

std::vector<uint8_t> ScreenToRGB(const SimFramebuffer& fb, const PngOptions& options, int* width,
                                 int* height) {
  const int w = fb.Width();
  const int h = fb.Height();
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* out = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      const uint32_t pixel = fb.PixelAt(x, y);
      if (fb.BytesPerPixel() == 4) {
        Composite(pixel, options.background, out);
      } else if (fb.BytesPerPixel() == 2) {
        // 5-6-5 has no alpha: the screen is shown as it is, black where
        // nothing was drawn, as a console shows it.
        const uint32_t r = (pixel >> 11) & 0x1F, g = (pixel >> 5) & 0x3F, b = pixel & 0x1F;
        Composite((r * 255 / 31) << 24 | (g * 255 / 63) << 16 | (b * 255 / 31) << 8 | 0xFF,
                  options.background, out);
      } else if (options.palette != nullptr) {
        Composite(options.palette[pixel & 0xFF], options.background, out);
      } else {
        const uint32_t grey = pixel & 0xFF;
        Composite(pixel == 0 ? 0 : (grey << 24 | grey << 16 | grey << 8 | 0xFF),
                  options.background, out);
      }
    }
  }
  *width = w;
  *height = h;
  return rgb;
}

bool WriteRGBPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
#ifdef ZUVA_HAVE_PNG
  if (width < 1 || height < 1 || rgb.size() < static_cast<size_t>(width) * height * 3) return false;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, &info);
    fclose(file);
    unlink(path.c_str());
    return false;
  }
  // libpng reports errors by jumping back here; nothing with a destructor is
  // created between this point and the calls that may jump.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(file);
    unlink(path.c_str());
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    png_write_row(png, rgb.data() + static_cast<size_t>(y) * width * 3);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fclose(file) == 0;
#else
  (void)path;
  (void)width;
  (void)height;
  (void)rgb;
  return false;
#endif
}

bool WriteScreenPng(const std::string& path, const SimFramebuffer& fb, const PngOptions& options) {
  int width = 0;
  int height = 0;
  const std::vector<uint8_t> rgb = ScreenToRGB(fb, options, &width, &height);
  return WriteRGBPng(path, width, height, rgb);
}
