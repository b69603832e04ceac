#pragma once

#include <memory>
#include <string>

#include "config/translator.h"
#include "display/frame_buffer.h"
#include "platform/platform.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "support/temp_dir.h"

constexpr const char* kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A FrameBuffer on a simulated framebuffer, with its own paths and translator.
// Members are built in order: device, router, platform, frame buffer.
struct SimScreen {
  explicit SimScreen(const SimFramebuffer::Geometry& geometry = SimFramebuffer::Geometry())
      : device(geometry) {
    io.Attach(Paths::Under(dir.Path()).framebuffer, &device);
    platform.io = &io;
    platform.paths = Paths::Under(dir.Path());
    fb = std::make_unique<FrameBuffer>(platform);
    fb->SetTranslator(&translator);
  }
  ~SimScreen() {
    if (fb) fb->Close();
  }

  int Init(const std::string& font = kDejaVuSans) { return fb->Init(font); }

  TempDir dir;
  SimFramebuffer device;
  SimDeviceIO io;
  Platform platform;
  Translator translator;
  std::unique_ptr<FrameBuffer> fb;
};

inline SimFramebuffer::Geometry Geometry8() {
  SimFramebuffer::Geometry g;
  g.bitsPerPixel = 8;
  return g;
}
