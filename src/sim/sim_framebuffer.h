#pragma once

#include <linux/fb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/sim_device_io.h"

// A framebuffer in memory: answers the two screen-info requests and maps its
// memory, so the FrameBuffer runs unchanged on a machine without a screen.
// The default row stride is wider than the visible row so that a drawing
// routine that confuses the two shows up at once.
class SimFramebuffer : public SimDevice {
 public:
  struct Geometry {
    int bitsPerPixel = 32;
    int xres = 720;
    int yres = 576;
    int stridePixels = 768;  // row length in pixels, padding included
    // Size of the screen memory in bytes; 0 means stride * yres.
    size_t memoryBytes = 0;
  };

  SimFramebuffer() : SimFramebuffer(Geometry{}) {}
  explicit SimFramebuffer(const Geometry& geometry);

  std::shared_ptr<SimHandle> Open(int flags) override;

  // Faults for the start-up failure paths: the open, one of the two requests
  // (FBIOGET_VSCREENINFO or FBIOGET_FSCREENINFO) or the mapping fails.
  void FailOpen(bool fail) { failOpen_ = fail; }
  void FailRequest(unsigned long request) { failRequest_ = request; }
  void FailMmap(bool fail) { failMmap_ = fail; }

  // For tests and the PNG writer.
  uint8_t* Memory() { return memory_.data(); }
  const uint8_t* Memory() const { return memory_.data(); }
  size_t MemoryBytes() const { return memory_.size(); }
  int Stride() const { return stride_; }  // bytes per row
  const Geometry& GetGeometry() const { return geometry_; }
  int BitsPerPixel() const { return geometry_.bitsPerPixel; }
  int BytesPerPixel() const {
    return geometry_.bitsPerPixel == 32 ? 4 : geometry_.bitsPerPixel == 16 ? 2 : 1;
  }
  int Width() const { return geometry_.xres; }
  int Height() const { return geometry_.yres; }
  // The pixel at (x, y): at 32 bits per pixel the colour value rebuilt from
  // the stored bytes blue, green, red, opacity; at 16 the 5-6-5 word as the
  // machine stores it; otherwise the palette index.
  // 0 outside the memory.
  uint32_t PixelAt(int x, int y) const;
  // Sets every byte of the memory, padding included.
  void Fill(uint8_t value);
  // Open handles and mappings made through this device and not yet ended.
  int OpenCount() const { return openCount_.load(); }

 private:
  class Handle;

  Geometry geometry_;
  int stride_;
  std::vector<uint8_t> memory_;
  fb_var_screeninfo var_ = {};
  fb_fix_screeninfo fix_ = {};
  bool failOpen_ = false;
  unsigned long failRequest_ = 0;
  bool failMmap_ = false;
  std::atomic<int> openCount_{0};
};
