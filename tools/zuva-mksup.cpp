// zuva-mksup: makes a bitmap subtitle stream (.sup) from a cue file, as
// input for FFmpeg's DVB subtitle encoder in tests/ffmpeg_interop.sh.
//
//   zuva-mksup [--font TTF] [--size PX] [--canvas WxH] CUES OUT.sup
//
// Prints one line per cue on standard output: its number, start and end in
// milliseconds, and the rectangle x0 y0 x1 y1 (x1, y1 exclusive) its
// bitmaps cover on the canvas. The cue file places its lines on the
// 720 x 576 screen; on a larger canvas (an HD display) places and text size
// grow with it, so the cues keep their places in the picture.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sup_writer.h"

#include "common/command_line.h"

namespace {

enum { kFont, kSize, kCanvas };

}  // namespace

int main(int argc, char** argv) {
  std::string font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  int size = 32;
  int width = 720, height = 576;
  const cli::Program program{
      "zuva-mksup",
      "Usage: zuva-mksup [--font TTF] [--size PX] [--canvas WxH] CUES OUT.sup\n"
      "Makes a bitmap subtitle stream from a cue file; prints each cue's number,\n"
      "start and end (ms) and the rectangle its bitmaps cover.\n"
      "  --font TTF     font to draw with (DejaVu Sans)\n"
      "  --size PX      text height on the 720 x 576 screen, 8 to 120 pixels (32)\n"
      "  --canvas WxH   the display the cues are placed on, 720x576 to 4096x4096\n"
      "                 (720x576); places and text size are scaled to it\n"
      "  -h, --help     show this text\n"
      "  --version      show the version\n",
      {{"font", 0, true, kFont}, {"size", 0, true, kSize}, {"canvas", 0, true, kCanvas}},
      [&](int id, const char* value, std::string& error) {
        if (id == kFont) {
          font = value;
          return true;
        }
        if (id == kCanvas) {
          if (cli::ToSize(value, 4096, 4096, width, height)) return true;
          error = "--canvas takes WIDTHxHEIGHT, 720x576 to 4096x4096";
          return false;
        }
        long long px = 0;
        if (!cli::ToInt(value, 8, 120, px)) {
          error = "--size takes 8 to 120 pixels";
          return false;
        }
        size = static_cast<int>(px);
        return true;
      }};
  std::vector<std::string> files;
  const int status = cli::Parse(program, argc, argv, files);
  if (status >= 0) return status;
  if (files.size() != 2) return cli::UsageError(program, "takes CUES and OUT.sup");

  std::string outError;
  if (!cli::CheckOutputFile(files[1], outError)) {
    std::fprintf(stderr, "zuva-mksup: cannot write %s\n", outError.c_str());
    return 1;
  }
  std::ifstream in(files[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "zuva-mksup: cannot read %s\n", files[0].c_str());
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<interop::Cue> cues;
  std::string error;
  if (!interop::ParseCues(text.str(), cues, error)) {
    std::fprintf(stderr, "zuva-mksup: %s: %s\n", files[0].c_str(), error.c_str());
    return 1;
  }
  interop::TextRasterizer raster;
  if (!raster.Open(font, size * height / 576)) {
    std::fprintf(stderr, "zuva-mksup: cannot open font %s\n", font.c_str());
    return 1;
  }

  std::vector<uint8_t> out;
  int number = 0;
  for (size_t n = 0; n < cues.size(); ++n) {
    const interop::Cue& cue = cues[n];
    std::vector<interop::sup::Placed> objects;
    int x0 = width, y0 = height, x1 = 0, y1 = 0;
    for (const interop::CueLine& line : cue.lines) {
      interop::sup::Placed placed{interop::RenderCueLine(raster, line), line.x * width / 720,
                                  line.y * height / 576};
      if (placed.x + placed.bitmap.width > width || placed.y + placed.bitmap.height > height) {
        std::fprintf(stderr, "zuva-mksup: \"%s\" (%dx%d at %d,%d) leaves the screen\n",
                     line.text.c_str(), placed.bitmap.width, placed.bitmap.height, placed.x,
                     placed.y);
        return 1;
      }
      x0 = std::min(x0, placed.x);
      y0 = std::min(y0, placed.y);
      x1 = std::max(x1, placed.x + placed.bitmap.width);
      y1 = std::max(y1, placed.y + placed.bitmap.height);
      objects.push_back(std::move(placed));
    }
    interop::sup::AppendCue(out, objects, cue.startMs, cue.endMs, number, width, height);
    std::printf("%zu %lld %lld %d %d %d %d\n", n + 1, static_cast<long long>(cue.startMs),
                static_cast<long long>(cue.endMs), x0, y0, x1, y1);
  }

  std::ofstream file(files[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "zuva-mksup: cannot write %s: %s\n", files[1].c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}
