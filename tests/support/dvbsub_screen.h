#pragma once

// A FrameBuffer for the DVB decoder tests: 720 x 576 pixels at 32 bits per
// pixel in memory, the drawing operations the decoder uses with the screen's
// byte order, and a record of every call and of every misuse (a write off the
// screen, a second Lock, an Unlock without Lock, drawing without the lock).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "display/frame_buffer.h"

class RecordingFrameBuffer : public FrameBuffer {
 public:
  static constexpr int kWidth = 720;
  static constexpr int kHeight = 576;

  RecordingFrameBuffer() : memory(kWidth * kHeight * 4, 0) {}

  int FillRect(int x, int y, int w, int h, uint32_t colour) override {
    Record("FillRect %d %d %d %d %08x", x, y, w, h, colour);
    CheckLocked();
    if (x < 0) x = 0;
    if (x > 719) x = 719;
    if (x + w > 719) w = 719 - x;
    if (w < 1) return 0;
    for (int row = y; row < y + h; ++row) {
      for (int col = x; col <= x + w; ++col) Put(col, row, Convert(colour));
    }
    return 0;
  }

  int ReadPixel(int x, int y, uint8_t* out) override {
    ++reads;
    if (!OnScreen(x, y)) {
      ++offScreen;
      return -1;
    }
    const uint8_t* p = &memory[(static_cast<size_t>(y) * kWidth + x) * 4];
    for (int i = 0; i < 4; ++i) out[i] = p[i];
    return 0;
  }

  void SetPaletteColor(int index, uint32_t colour) override {
    if (index < 0 || index > 255) {
      ++offScreen;
      return;
    }
    palette[index] = colour;
  }

  int BlitBitmap(const uint8_t* bitmap, int w, int h, int x, int y) override {
    Record("BlitBitmap %d %d %d %d", w, h, x, y);
    CheckLocked();
    for (int r = 0; r < h; ++r) {
      for (int c = 0; c < w; ++c) {
        const uint8_t i = bitmap[r * w + c];
        if (i != 0) Put(x + c, y + r, Convert(palette[i]));
      }
    }
    return h > 0 ? h : 0;
  }

  int Lock() override {
    if (locked) ++lockMisuse;
    locked = true;
    ++locks;
    return 0;
  }
  int Unlock() override {
    if (!locked) ++lockMisuse;
    locked = false;
    return 0;
  }
  int GetBitsPerPixel() override { return 32; }

  // The colour value of a pixel, rebuilt from its stored bytes.
  uint32_t Pixel(int x, int y) const {
    const uint8_t* p = &memory[(static_cast<size_t>(y) * kWidth + x) * 4];
    return static_cast<uint32_t>(p[2]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[0]) << 8 | p[3];
  }
  void SetPixel(int x, int y, uint32_t colour) { Put(x, y, Convert(colour)); }
  int CountSet() const {
    int n = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) n += Pixel(x, y) != 0;
    return n;
  }
  int CountCalls(const std::string& prefix) const {
    int n = 0;
    for (const std::string& c : calls) n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
  }

  std::vector<uint8_t> memory;
  uint32_t palette[256] = {};
  std::vector<std::string> calls;
  int reads = 0;
  int offScreen = 0;
  int lockMisuse = 0;
  int unlockedDraws = 0;
  int locks = 0;
  bool locked = false;

 private:
  static bool OnScreen(int x, int y) { return x >= 0 && x < kWidth && y >= 0 && y < kHeight; }
  static uint32_t Convert(uint32_t c) {
    return (c & 0x00FF00FFu) | ((c >> 16) & 0xFF00u) | ((c & 0xFF00u) << 16);
  }
  void Put(int x, int y, uint32_t stored) {
    if (!OnScreen(x, y)) {
      ++offScreen;
      return;
    }
    uint8_t* p = &memory[(static_cast<size_t>(y) * kWidth + x) * 4];
    // Stored order in memory: blue, green, red, opacity.
    p[0] = static_cast<uint8_t>(stored >> 24);
    p[1] = static_cast<uint8_t>(stored >> 16);
    p[2] = static_cast<uint8_t>(stored >> 8);
    p[3] = static_cast<uint8_t>(stored);
  }
  void CheckLocked() {
    if (!locked) ++unlockedDraws;
  }
  template <typename... A>
  void Record(const char* format, A... args) {
    char text[128];
    snprintf(text, sizeof text, format, args...);
    calls.emplace_back(text);
  }
};
