// One bit error in the broadcast costs at most the packet it hit.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "dvbsub/subtitle_context.h"
#include "support/dvbsub_screen.h"
#include "tsgen/dvbsub_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace dvb = tsgen::dvbsub;

// An object whose top field holds an invalid data type: the bottom field is
// still drawn. An 8-bit region with an 8-bit CLUT shows its colours.
TEST(BroadcastDamage, DvbObjectsSurviveDamageAndShowEightBitColours) {
  const Bytes rowA = Cat({dvb::PixelString4({1, 1, 1, 1}), dvb::EndOfLine()});
  const Bytes row8 = Cat({dvb::PixelString8({0x9C, 0x9C, 0x9C, 0x9C}), dvb::EndOfLine()});
  // Y, Cr, Cb, T of a green 4-bit entry 1 and a red 8-bit entry 0x9C.
  const uint8_t green[4] = {145, 54, 34, 0};
  const uint8_t red[4] = {81, 240, 90, 0};
  const uint32_t greenColour = subtitle_ycrcb_to_colour(green);
  const uint32_t redColour = subtitle_ycrcb_to_colour(red);
  struct Case {
    const char* name;
    int depth;
    dvb::ObjectData object;
    uint32_t evenRow, oddRow;  // colour of the first pixel of rows 0 and 1
  };
  dvb::ObjectData damaged{7, 0, 0, false, Cat({{0x33}, rowA}), rowA};
  dvb::ObjectData eight{7, 0, 0, false, row8, row8};
  const std::vector<Case> cases = {
      {"invalid data type in the top field", 2, damaged, 0, greenColour},
      {"8-bit region, 8-bit CLUT", 3, eight, redColour, redColour},
      {"no bottom field: odd rows stay empty", 2, {7, 0, 0, false, rowA, {}}, greenColour, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    SubtitleScreen s;
    const dvb::ClutDefinition clut{
        0, 0, {{1, false, true, false, true, green[0], green[1], green[2], 0},
               {0x9C, false, false, true, true, red[0], red[1], red[2], 0}}};
    dvb::RegionComposition region;
    region.width = 4, region.height = 2, region.depth = c.depth;
    region.objects = {{7, 0, 0, 0, 0, 0, 0}};
    dvb::DisplaySet set(1);
    set.Page({5, 0, dvb::kAcquisitionPoint, {{0, 100, 400}}}).Region(region).Clut(clut);
    s.Feed(set.Object(c.object).End().Packet(0));
    EXPECT_EQ(s.fb.Pixel(100, 400), c.evenRow);
    EXPECT_EQ(s.fb.Pixel(100, 401), c.oddRow);
  }
}

}  // namespace
