#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SimFramebuffer;

// How a screen becomes a picture.
//
// At 32 bits per pixel each pixel is composited by its opacity byte over a
// plain background, standing in for the video picture under the on-screen
// display; the default mid grey keeps both white text and its black outline
// visible, and shows a translucent box as a darker band.
//
// At 16 bits per pixel the 5-6-5 colour is shown opaque. At 8 each byte is a
// palette index. With a palette given (256 colour values, red, green, blue,
// opacity from the high byte down) the entry is composited the same way;
// without one, index 0 is transparent and every other index i is an opaque
// grey of level i.
struct PngOptions {
  uint32_t background = 0x808080u;  // 0xRRGGBB
  const uint32_t* palette = nullptr;
};

// The visible area of the simulated screen, at the device's resolution, as
// 8-bit RGB rows, top to bottom.
std::vector<uint8_t> ScreenToRGB(const SimFramebuffer& fb, const PngOptions& options, int* width,
                                 int* height);

// Writes `rgb` (width * height * 3 bytes) as an 8-bit RGB PNG. False, with
// nothing left behind, when the file cannot be written or libpng is missing.
bool WriteRGBPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

// ScreenToRGB, then WriteRGBPng.
bool WriteScreenPng(const std::string& path, const SimFramebuffer& fb,
                    const PngOptions& options = PngOptions());
