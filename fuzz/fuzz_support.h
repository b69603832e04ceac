#pragma once

// Shared by the fuzz targets: a quiet log, a scratch directory for the text
// inputs and a FrameBuffer on the simulated screen with the real font.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/log.h"
#include "config/translator.h"
#include "display/frame_buffer.h"
#include "platform/platform.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "support/temp_dir.h"

namespace fuzz {

constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A finding must stop the run at the place it happens, whatever built the
// target (the sanitizers then print the stack).
#define FUZZ_CHECK(cond)                                                         \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", #cond, __FILE__, \
                   __LINE__);                                                    \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

// The daemon logs every step; millions of runs would drown the fuzzer's own
// output. Set ZUVA_FUZZ_LOG=1 to see the log when reproducing a finding.
inline void QuietLog() {
  static LogCapture* capture = nullptr;
  if (capture != nullptr || std::getenv("ZUVA_FUZZ_LOG") != nullptr) return;
  capture = new LogCapture();
  capture->SetSink([](const char*, void*) {}, nullptr);
}

// One directory for the whole run; removed when the process exits normally.
inline TempDir& Scratch() {
  static TempDir dir;
  return dir;
}

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  if (size > 0) FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
  std::fclose(file);
}

// A FrameBuffer over a simulated screen, initialised once per process (the
// font set-up is far slower than one run).
struct Screen {
  explicit Screen(int bitsPerPixel) : device(MakeGeometry(bitsPerPixel)) {
    paths = Paths::Under(Scratch().Path() + "/screen" + std::to_string(bitsPerPixel));
    io.Attach(paths.framebuffer, &device);
    platform.io = &io;
    platform.paths = paths;
    fb = std::make_unique<FrameBuffer>(platform);
    fb->SetTranslator(&translator);
    FUZZ_CHECK(fb->Init(kFont) == 0);
  }
  ~Screen() { fb->Close(); }

  static SimFramebuffer::Geometry MakeGeometry(int bitsPerPixel) {
    SimFramebuffer::Geometry g;
    g.bitsPerPixel = bitsPerPixel;
    return g;
  }

  // Each run starts from a blank screen, so a run depends only on its input.
  void Blank() { device.Fill(0); }

  // Nothing may be written into the padding at the end of each row (the
  // stride is wider than the visible screen).
  void CheckPadding() const {
    const int visible = device.Width() * device.BytesPerPixel();
    const uint8_t* memory = device.Memory();
    for (int row = 0; row < device.Height(); ++row) {
      const uint8_t* p = memory + static_cast<size_t>(row) * device.Stride();
      for (int i = visible; i < device.Stride(); ++i) FUZZ_CHECK(p[i] == 0);
    }
  }

  Paths paths;
  SimFramebuffer device;
  SimDeviceIO io;
  Platform platform;
  Translator translator;
  std::unique_ptr<FrameBuffer> fb;
};

// Cuts a byte stream into PES packets the way their length fields say; the
// last one may be short. Calls `take(data, size)` for each.
template <typename F>
void ForEachPES(const uint8_t* data, size_t size, F take) {
  while (size > 0) {
    size_t n = size;
    if (size >= 6) n = 6 + ((static_cast<size_t>(data[4]) << 8) | data[5]);
    if (n > size) n = size;
    take(data, n);
    data += n;
    size -= n;
  }
}

}  // namespace fuzz
