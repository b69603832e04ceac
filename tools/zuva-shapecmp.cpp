// zuva-shapecmp: compares the subtitle shapes in two pictures of the screen,
// one drawn by zuva and one by a reference decoder, both over the same plain
// background. Used by tests/ffmpeg_interop.sh.
//
//   zuva-shapecmp [options] ZUVA.png REFERENCE.png
//   zuva-shapecmp [options] --frames DIR --at STC_MS REFERENCE.png
//
// The second form takes zuva's picture from a replay's frames folder: the
// last frame taken at or before STC_MS (an untouched screen when there is
// none). Prints one line of figures and exits 0 when the shapes agree,
// 1 when they differ, 3 when zuva drew nothing, 4 when the reference drew
// nothing, 2 on a usage or file error.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "shape_compare.h"

#include "common/command_line.h"

namespace {

const char kUsage[] =
    "Usage: zuva-shapecmp [options] ZUVA.png REFERENCE.png\n"
    "       zuva-shapecmp [options] --frames DIR --at STC_MS REFERENCE.png\n"
    "  --background RRGGBB  the plain background of both pictures (808080)\n"
    "  --tolerance N        a channel further than N from it is drawn (32)\n"
    "  --block N            block size of the coarse overlap (4)\n"
    "  --min-overlap X      least coarse intersection over union (0.90)\n"
    "  --max-edge N         largest bounding-box edge distance in pixels (3)\n"
    "  --screen WxH         REFERENCE shows a declared display: compare it as zuva\n"
    "                       shows that display on a WxH framebuffer (scaled onto\n"
    "                       the 720x576 screen, that screen placed on the device)\n"
    "  -h, --help           show this text\n"
    "  --version            show the version\n";

enum { kBackground, kTolerance, kBlock, kMinOverlap, kMaxEdge, kFrames, kAt, kScreen };

bool Load(const std::string& path, interop::Mask& mask, uint32_t background, int tolerance) {
  std::vector<uint8_t> rgb;
  int w = 0, h = 0;
  std::string error;
  if (!interop::ReadPngRgb(path, rgb, w, h, error)) {
    std::fprintf(stderr, "zuva-shapecmp: %s\n", error.c_str());
    return false;
  }
  mask = interop::MaskFromRgb(rgb, w, h, background, tolerance);
  return true;
}

std::string Text(const interop::Box& b) {
  if (b.Empty()) return "none";
  return std::to_string(b.x0) + "," + std::to_string(b.y0) + "," + std::to_string(b.x1) + "," +
         std::to_string(b.y1);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t background = 0x808080;
  int tolerance = 32, block = 4, maxEdge = 3;
  double minOverlap = 0.90;
  std::string framesDir;
  long long at = -1;
  int screenWidth = 0, screenHeight = 0;
  const cli::Program program{
      "zuva-shapecmp",
      kUsage,
      {{"background", 0, true, kBackground},
       {"tolerance", 0, true, kTolerance},
       {"block", 0, true, kBlock},
       {"min-overlap", 0, true, kMinOverlap},
       {"max-edge", 0, true, kMaxEdge},
       {"frames", 0, true, kFrames},
       {"at", 0, true, kAt},
       {"screen", 0, true, kScreen}},
      [&](int id, const char* value, std::string&) {
        long long n = 0;
        bool ok = true;
        switch (id) {
          case kBackground:
            ok = cli::ToInt(value, 0, 0xFFFFFF, n, 16);
            background = static_cast<uint32_t>(n);
            break;
          case kTolerance:
            ok = cli::ToInt(value, 0, 255, n);
            tolerance = static_cast<int>(n);
            break;
          case kBlock:
            ok = cli::ToInt(value, 1, 720, n);
            block = static_cast<int>(n);
            break;
          case kMinOverlap:
            ok = cli::ToNumber(value, 0.0, 1.0, minOverlap);
            break;
          case kMaxEdge:
            ok = cli::ToInt(value, 0, 720, n);
            maxEdge = static_cast<int>(n);
            break;
          case kFrames:
            framesDir = value;
            break;
          case kAt:
            ok = cli::ToInt(value, 0, INT64_MAX, n);
            at = n;
            break;
          case kScreen:
            ok = cli::ToSize(value, 7680, 4320, screenWidth, screenHeight);
            break;
        }
        return ok;
      }};
  std::vector<std::string> files;
  const int status = cli::Parse(program, argc, argv, files);
  if (status >= 0) return status;
  const bool fromFrames = !framesDir.empty();
  if (files.size() != (fromFrames ? 1u : 2u) || (fromFrames && at < 0)) {
    return cli::UsageError(program, fromFrames ? "--frames takes --at STC_MS and REFERENCE.png"
                                               : "takes ZUVA.png and REFERENCE.png");
  }

  interop::Mask reference;
  if (!Load(files.back(), reference, background, tolerance)) return 2;
  if (screenWidth > 0) reference = interop::AsShownOn(reference, screenWidth, screenHeight);
  interop::Mask zuva;
  std::string zuvaFile = files.front();
  if (fromFrames) {
    std::ifstream in(framesDir + "/frames.tsv");
    if (!in) {
      std::fprintf(stderr, "zuva-shapecmp: cannot read %s/frames.tsv\n", framesDir.c_str());
      return 2;
    }
    std::ostringstream tsv;
    tsv << in.rdbuf();
    const std::string name = interop::FrameAt(tsv.str(), at);
    zuvaFile = name.empty() ? "" : framesDir + "/" + name;
  }
  if (!zuvaFile.empty() && !Load(zuvaFile, zuva, background, tolerance)) return 2;

  const interop::Box zb = interop::BoundingBox(zuva);
  const interop::Box rb = interop::BoundingBox(reference);
  const double pixelOverlap = interop::Overlap(zuva, reference, 1);
  const double coarseOverlap = interop::Overlap(zuva, reference, block);
  const int edge = zb.Empty() || rb.Empty() ? -1 : interop::EdgeDistance(zb, rb);
  std::printf("zuva=%s reference=%s edge=%d iou=%.4f coarse_iou=%.4f zuva_px=%zu ref_px=%zu frame=%s\n",
              Text(zb).c_str(), Text(rb).c_str(), edge, pixelOverlap, coarseOverlap, zuva.Count(),
              reference.Count(), zuvaFile.empty() ? "none" : zuvaFile.c_str());
  if (rb.Empty()) return 4;
  if (zb.Empty()) return 3;
  return (edge <= maxEdge && coarseOverlap >= minOverlap) ? 0 : 1;
}
