#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One picture of a whole replay: a thumbnail of the screen for every
// subtitle shown, in rows, each labelled with its time and its text.
struct SheetCell {
  int64_t startMs = 0;             // replay time the subtitle appeared
  std::vector<std::string> lines;  // UTF-8, as the SubRip output has them
  std::vector<uint8_t> rgb;        // the thumbnail, 8-bit RGB rows
  int width = 0;
  int height = 0;
};

// The label lines of a cell: its time, then its text, a bitmap's place left
// out ("[bitmap WxH at X,Y]" becomes "[bitmap WxH]").
std::vector<std::string> SheetLabel(const SheetCell& cell);

// `rgb` (width x height) shrunk by `factor` in both directions, each output
// pixel the average of the block it stands for.
std::vector<uint8_t> ShrinkRGB(const std::vector<uint8_t>& rgb, int width, int height, int factor,
                               int* outWidth, int* outHeight);

// Draws the labels with the daemon's own text rendering in `fontFile` and
// writes the sheet as a PNG. False with a reason in `error` when there is
// nothing to show, the font cannot be used or the file cannot be written.
bool WriteContactSheet(const std::string& path, const std::vector<SheetCell>& cells,
                       const std::string& fontFile, std::string* error);
