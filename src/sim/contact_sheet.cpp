#include "sim/contact_sheet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "display/frame_buffer.h"
#include "sim/png_writer.h"
#include "sim/replay.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"

namespace {
constexpr int kColumns = 3;
constexpr int kGap = 8;
constexpr int kFontSize = 15;
constexpr int kLineHeight = 19;
constexpr int kLabelLines = 4;  // the time and up to three lines of text
constexpr uint32_t kLabelBackground = 0x202020u;
constexpr uint8_t kSheetBackground = 0x10;

// The screen's text path takes one byte per character and hands it to the
// font as a code point, so the label goes in as Latin-1; what Latin-1 lacks
// shows as "?".
std::string ToLatin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t b = static_cast<uint8_t>(utf8[i]);
    uint32_t c = b;
    size_t n = 1;
    if (b >= 0xC0 && b < 0xE0 && i + 1 < utf8.size()) {
      c = ((b & 0x1Fu) << 6) | (static_cast<uint8_t>(utf8[i + 1]) & 0x3Fu);
      n = 2;
    } else if (b >= 0xE0) {
      c = '?';
      n = b >= 0xF0 ? 4 : 3;
    }
    out += static_cast<char>(c < 0x100 ? c : '?');
    i += n;
  }
  return out;
}

}  // namespace

std::vector<std::string> SheetLabel(const SheetCell& cell) {
  std::vector<std::string> label = {replay::FormatTime(cell.startMs, '.')};
  for (std::string line : cell.lines) {
    const auto at = line.find(" at ");
    if (line.rfind("[bitmap ", 0) == 0 && at != std::string::npos) line = line.substr(0, at) + "]";
    label.push_back(line);
  }
  return label;
}

std::vector<uint8_t> ShrinkRGB(const std::vector<uint8_t>& rgb, int width, int height, int factor,
                               int* outWidth, int* outHeight) {
  factor = std::max(factor, 1);
  const int w = width / factor;
  const int h = height / factor;
  std::vector<uint8_t> out(static_cast<size_t>(std::max(w, 0)) * std::max(h, 0) * 3);
  if (rgb.size() < static_cast<size_t>(width) * height * 3) out.clear();
  for (int y = 0; y < h && !out.empty(); ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        unsigned sum = 0;
        for (int dy = 0; dy < factor; ++dy) {
          const uint8_t* row =
              &rgb[(static_cast<size_t>(y * factor + dy) * width + x * factor) * 3];
          for (int dx = 0; dx < factor; ++dx) sum += row[dx * 3 + c];
        }
        out[(static_cast<size_t>(y) * w + x) * 3 + c] =
            static_cast<uint8_t>(sum / static_cast<unsigned>(factor * factor));
      }
    }
  }
  *outWidth = out.empty() ? 0 : w;
  *outHeight = out.empty() ? 0 : h;
  return out;
}

bool WriteContactSheet(const std::string& path, const std::vector<SheetCell>& cells,
                       const std::string& fontFile, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = what;
    return false;
  };
  if (cells.empty()) return fail("no subtitle was shown, so there is no sheet to write");
  int cellWidth = 0;
  int thumbHeight = 0;
  for (const SheetCell& cell : cells) {
    cellWidth = std::max(cellWidth, cell.width);
    thumbHeight = std::max(thumbHeight, cell.height);
  }
  cellWidth = std::max(cellWidth, 240);
  const int labelHeight = kLabelLines * kLineHeight + 6;
  const int cellHeight = thumbHeight + labelHeight;
  const int columns = std::min<int>(kColumns, static_cast<int>(cells.size()));
  const int rows = static_cast<int>((cells.size() + kColumns - 1) / kColumns);
  const int sheetWidth = kGap + columns * (cellWidth + kGap);
  const int sheetHeight = kGap + rows * (cellHeight + kGap);
  std::vector<uint8_t> sheet(static_cast<size_t>(sheetWidth) * sheetHeight * 3, kSheetBackground);

  // The labels are drawn by the daemon's own FrameBuffer on a simulated
  // screen, one label at a time in its top rows, and copied from there.
  SimFramebuffer::Geometry geometry;
  SimFramebuffer screen(geometry);
  SimDeviceIO io;
  Platform platform;
  platform.io = &io;
  io.Attach(platform.paths.framebuffer, &screen);
  FrameBuffer text(platform);
  if (text.Init(fontFile) != 0) return fail("cannot use the font " + fontFile);
  PngOptions labelColours;
  labelColours.background = kLabelBackground;
  const int labelWidth = std::min(cellWidth, screen.Width());

  for (size_t i = 0; i < cells.size(); ++i) {
    const SheetCell& cell = cells[i];
    const int left = kGap + static_cast<int>(i % kColumns) * (cellWidth + kGap);
    const int top = kGap + static_cast<int>(i / kColumns) * (cellHeight + kGap);
    for (int y = 0; y < cell.height; ++y) {
      memcpy(&sheet[(static_cast<size_t>(top + y) * sheetWidth + left) * 3],
             &cell.rgb[static_cast<size_t>(y) * cell.width * 3],
             static_cast<size_t>(cell.width) * 3);
    }
    screen.Fill(0);
    const std::vector<std::string> label = SheetLabel(cell);
    for (size_t k = 0; k < label.size() && k < static_cast<size_t>(kLabelLines); ++k) {
      const uint32_t colour = k == 0 ? 0xFFD040FFu : 0xFFFFFFFFu;
      text.RenderText(ToLatin1(label[k]), 4, 3 + kFontSize + static_cast<int>(k) * kLineHeight,
                      labelWidth - 8, 0, kFontSize, colour);
    }
    int w = 0;
    int h = 0;
    const std::vector<uint8_t> drawn = ScreenToRGB(screen, labelColours, &w, &h);
    for (int y = 0; y < labelHeight && y < h; ++y) {
      memcpy(&sheet[(static_cast<size_t>(top + thumbHeight + y) * sheetWidth + left) * 3],
             &drawn[static_cast<size_t>(y) * w * 3],
             static_cast<size_t>(std::min(labelWidth, w)) * 3);
    }
  }
  text.Close();
  if (!WriteRGBPng(path, sheetWidth, sheetHeight, sheet)) return fail("cannot write " + path);
  return true;
}
