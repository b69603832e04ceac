// Streams laid out the way common encoders write them: every display set a
// mode change that redefines its CLUT at version 0, and regions of 2 bits per
// pixel whose CLUT defines only the four 2-bit entries.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "dvbsub/dvb_subtitle.h"
#include "dvbsub_test_fb.h"
#include "tsgen/dvbsub_encoder.h"

namespace ds = tsgen::dvbsub;
using Bytes = std::vector<uint8_t>;

namespace {

struct Decoder {
  LogCapture capture;
  RecordingFrameBuffer fb;
  Config config;
  DVBSubtitle dvb;
  Decoder() {
    dvb.config = &config;
    dvb.frameBuffer = &fb;
    dvb.configure();
  }
  uint32_t Feed(const Bytes& bytes) {
    PESPacket packet;
    Bytes copy = bytes;
    packet.data = copy.data();
    packet.size = static_cast<uint32_t>(copy.size());
    return dvb.processPES(packet);
  }
};

ds::ClutEntry Entry(int id, uint8_t y, uint8_t cr, uint8_t cb, bool for2, bool for4) {
  ds::ClutEntry e;
  e.id = id;
  e.for2 = for2;
  e.for4 = for4;
  e.y = y;
  e.cr = cr;
  e.cb = cb;
  return e;
}

// One region of 40 x 4 pixels at (100, 200), one object of 2-bit codes: ten
// columns each of codes 0, 1, 2 and 3. The region version follows the page
// version, the CLUT stays at `clutVersion`.
Bytes DisplaySet(int version, int state, int depth, int clutVersion,
                 const std::vector<ds::ClutEntry>& entries, bool withClut = true) {
  ds::DisplaySet set(1);
  set.Page({10, version, state, {{1, 100, 200}}});
  if (withClut) set.Clut({0, clutVersion, entries});
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.version = version;
  rc.width = 40;
  rc.height = 4;
  rc.depth = depth;
  rc.clutId = 0;
  rc.objects = {{1, 0, 0, 0, 0}};
  set.Region(rc);
  Bytes codes(40 * 4);
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>((i % 40) / 10);
  set.Object(ds::ObjectFromBitmap(1, codes, 40, 4, 2, version));
  set.End();
  return set.Packet(-1);
}

// The colours of the columns showing codes 1, 2 and 3 (0 stays transparent).
std::vector<uint32_t> Shown(const RecordingFrameBuffer& fb) {
  return {fb.Pixel(100 + 5, 201), fb.Pixel(100 + 15, 201), fb.Pixel(100 + 25, 201),
          fb.Pixel(100 + 35, 201)};
}

const uint32_t kWhite = 0xFEFEFEFF;  // Y 235
const uint32_t kBlack = 0x000000FF;  // Y 16
const uint32_t kRed = subtitle_ycrcb_to_colour(std::vector<uint8_t>{81, 240, 90, 0}.data());
const uint32_t kGreen = subtitle_ycrcb_to_colour(std::vector<uint8_t>{145, 34, 54, 0}.data());

}  // namespace

TEST(DvbsubInterop, TwoBitRegionsShowTheTwoBitEntries) {
  const auto twoBitOnly = std::vector<ds::ClutEntry>{
      Entry(0, 0, 128, 128, true, false), Entry(1, 235, 128, 128, true, false),
      Entry(2, 81, 240, 90, true, false), Entry(3, 145, 34, 54, true, false)};
  // A 4-bit CLUT where the default map sends codes 1, 2, 3 (entries 7, 8, 15).
  const auto fourBit = std::vector<ds::ClutEntry>{
      Entry(1, 16, 128, 128, false, true), Entry(7, 235, 128, 128, false, true),
      Entry(8, 81, 240, 90, false, true), Entry(15, 145, 34, 54, false, true)};
  struct Case {
    const char* name;
    int depth;
    std::vector<ds::ClutEntry> entries;
    bool withClut;
    std::vector<uint32_t> expected;  // code 0, 1, 2, 3
  };
  const std::vector<Case> cases = {
      {"2-bit region, 2-bit CLUT entries 0 to 3", 1, twoBitOnly, true, {0, kWhite, kRed, kGreen}},
      {"4-bit region maps 2-bit codes to entries 7, 8, 15", 2, fourBit, true,
       {0, kWhite, kRed, kGreen}},
      {"2-bit region without its CLUT: default white, black, grey", 1, {}, false,
       {0, 0xFFFFFFFF, kBlack, 0x808080FF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    EXPECT_EQ(d.Feed(DisplaySet(0, ds::kModeChange, c.depth, 0, c.entries, c.withClut)), 10000u);
    EXPECT_EQ(Shown(d.fb), c.expected);
  }
}

TEST(DvbsubInterop, ModeChangeStartsTheCLUTsAfresh) {
  const auto white = std::vector<ds::ClutEntry>{Entry(0, 0, 128, 128, true, false),
                                                Entry(1, 235, 128, 128, true, false)};
  const auto red = std::vector<ds::ClutEntry>{Entry(0, 0, 128, 128, true, false),
                                              Entry(1, 81, 240, 90, true, false)};
  struct Case {
    const char* name;
    int secondState;
    int secondClutVersion;
    uint32_t expected;  // colour of code 1 after the second display set
  };
  const std::vector<Case> cases = {
      {"mode change, CLUT version repeated", ds::kModeChange, 0, kRed},
      {"mode change, CLUT version new", ds::kModeChange, 1, kRed},
      // Within one page instance a repeated version really is a repeat.
      {"acquisition point, CLUT version repeated", ds::kAcquisitionPoint, 0, kWhite},
      {"acquisition point, CLUT version new", ds::kAcquisitionPoint, 1, kRed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoder d;
    d.Feed(DisplaySet(0, ds::kModeChange, 1, 0, white));
    ASSERT_EQ(Shown(d.fb)[1], kWhite);
    d.Feed(DisplaySet(1, c.secondState, 1, c.secondClutVersion, red));
    EXPECT_EQ(Shown(d.fb)[1], c.expected);
    EXPECT_EQ(d.fb.lockMisuse, 0);
  }
}

TEST(DvbsubInterop, ModeChangeReleasesTheOldRegions) {
  // A mode change whose display set no longer defines region 1 draws
  // nothing, rather than the picture of the previous page instance, and the
  // old bitmap's bytes are given back.
  Decoder d;
  d.Feed(DisplaySet(0, ds::kModeChange, 1, 0, {Entry(1, 235, 128, 128, true, false)}));
  ASSERT_EQ(d.dvb.context.regionBytes, 40u * 4u);
  ds::DisplaySet only(1);
  only.Page({10, 1, ds::kModeChange, {{1, 100, 200}}}).End();
  EXPECT_EQ(d.Feed(only.Packet(-1)), 0u);
  EXPECT_EQ(d.dvb.context.regionBytes, 0u);
  EXPECT_EQ(d.fb.CountSet(), 0);
  EXPECT_NE(d.capture.Text().find("ERROR: Region not found.\n"), std::string::npos);
}
