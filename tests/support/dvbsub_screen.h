#pragma once

// A FrameBuffer for the DVB decoder tests: a 720 x 576 screen of colours, the
// drawing operations the decoder uses, and a record of every drawing call and
// of every misuse (a write off the screen, a second Lock, an Unlock without
// Lock, drawing without the lock).

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "display/frame_buffer.h"
#include "dvbsub/subtitle_context.h"
#include "support/bytes.h"

class RecordingFrameBuffer : public FrameBuffer {
 public:
  static constexpr int kWidth = 720;
  static constexpr int kHeight = 576;

  RecordingFrameBuffer() : screen(kWidth * kHeight, 0) {}

  // Like the real screen: columns x..x+w, clamped to column 719.
  int FillRect(int x, int y, int w, int h, uint32_t colour) override {
    Record("FillRect", x, y, w, h);
    x = std::min(std::max(x, 0), kWidth - 1);
    w = std::min(w, kWidth - 1 - x);
    for (int row = y; w > 0 && row < y + h; ++row)
      for (int col = x; col <= x + w; ++col) SetPixel(col, row, colour);
    return 0;
  }
  int BlitBitmap(const uint8_t* bitmap, int w, int h, int x, int y) override {
    Record("BlitBitmap", w, h, x, y);
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c)
        if (bitmap[r * w + c] != 0) SetPixel(x + c, y + r, palette[bitmap[r * w + c]]);
    return std::max(h, 0);
  }
  // The bytes in the screen's order: blue, green, red, opacity.
  int ReadPixel(int x, int y, uint8_t* out) override {
    if (!OnScreen(x, y)) return ++offScreen, -1;
    const uint32_t c = Pixel(x, y);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(c >> (i == 3 ? 0 : 8 * (i + 1)));
    return 0;
  }
  void SetPaletteColor(int index, uint32_t colour) override {
    if (index < 0 || index > 255) return void(++offScreen);
    palette[index] = colour;
  }
  int Lock() override {
    lockMisuse += locked;
    locked = true;
    return 0;
  }
  int Unlock() override {
    lockMisuse += !locked;
    locked = false;
    return 0;
  }
  int GetBitsPerPixel() override { return 32; }

  uint32_t Pixel(int x, int y) const { return screen[static_cast<size_t>(y) * kWidth + x]; }
  void SetPixel(int x, int y, uint32_t colour) {
    if (!OnScreen(x, y)) return void(++offScreen);
    screen[static_cast<size_t>(y) * kWidth + x] = colour;
  }
  int CountSet() const { return kWidth * kHeight - std::count(screen.begin(), screen.end(), 0u); }
  int CountCalls(const std::string& name) const {
    return std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
      return c.compare(0, name.size(), name) == 0;
    });
  }

  std::vector<uint32_t> screen;
  uint32_t palette[256] = {};
  std::vector<std::string> calls;
  int offScreen = 0;
  int lockMisuse = 0;
  int unlockedDraws = 0;
  bool locked = false;

 private:
  static bool OnScreen(int x, int y) { return x >= 0 && x < kWidth && y >= 0 && y < kHeight; }
  void Record(const char* name, int a, int b, int c, int d) {
    unlockedDraws += !locked;
    calls.push_back(std::string(name) + " " + std::to_string(a) + " " + std::to_string(b) + " " +
                    std::to_string(c) + " " + std::to_string(d));
  }
};

// A decoder context drawing on a RecordingFrameBuffer, or on no screen.
struct SubtitleScreen {
  explicit SubtitleScreen(bool screen = true) {
    if (!screen) return;
    ctx.frameBuffer = &fb;
    ctx.enabled = 1;
    ctx.bbox = {720, 576, 0, 0};
  }
  ~SubtitleScreen() { subtitle_free_pages(&ctx); }
  void Feed(const std::vector<uint8_t>& packet) {
    subtitle_process_pes(&ctx, packet.data(), static_cast<uint32_t>(packet.size()));
  }
  RecordingFrameBuffer fb;
  subtitle_context ctx;
};
