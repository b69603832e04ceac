#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config/translator.h"
#include "display/frame_buffer.h"
#include "platform/platform.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "support/temp_dir.h"

constexpr const char* kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A frame buffer (FrameBuffer or a test's subclass) on a simulated framebuffer,
// with its own paths and translator.
template <class FB>
struct BasicSimScreen {
  explicit BasicSimScreen(const SimFramebuffer::Geometry& geometry = SimFramebuffer::Geometry())
      : device(geometry) {
    io.Attach(Paths::Under(dir.Path()).framebuffer, &device);
    platform.io = &io;
    platform.paths = Paths::Under(dir.Path());
    fb = std::make_unique<FB>(platform);
    fb->SetTranslator(&translator);
  }
  ~BasicSimScreen() { fb->Close(); }

  int Init(const std::string& font = kDejaVuSans) { return fb->Init(font); }

  // Puts a colour on the screen as the framebuffer stores it (palette index at 8 bpp).
  void Plant(int x, int y, uint32_t colour) {
    uint8_t* p = device.Memory() + static_cast<size_t>(y) * device.Stride() +
                 static_cast<size_t>(x) * device.BytesPerPixel();
    if (device.BitsPerPixel() == 32) {
      FrameBuffer::ColourToPixelBytes(colour, p);
    } else {
      p[0] = static_cast<uint8_t>(colour);
    }
  }
  // Rows of the screen holding anything but empty pixels.
  std::vector<int> UsedRows() const {
    std::vector<int> rows;
    for (int y = 0; y < device.Height(); ++y) {
      int x = 0;
      while (x < device.Width() && device.PixelAt(x, y) == 0) ++x;
      if (x < device.Width()) rows.push_back(y);
    }
    return rows;
  }
  // Whether the bytes beyond the visible pixels of every row are still zero.
  bool PaddingUntouched() const {
    const int visible = device.Width() * device.BytesPerPixel();
    for (int y = 0; y < device.Height(); ++y) {
      const uint8_t* row = device.Memory() + static_cast<size_t>(y) * device.Stride();
      if (std::any_of(row + visible, row + device.Stride(), [](uint8_t b) { return b != 0; }))
        return false;
    }
    return true;
  }

  TempDir dir;
  SimFramebuffer device;
  SimDeviceIO io;
  Platform platform;
  Translator translator;
  std::unique_ptr<FB> fb;
};
using SimScreen = BasicSimScreen<FrameBuffer>;
