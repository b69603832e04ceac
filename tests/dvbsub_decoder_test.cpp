// The DVB decoder object as the PES filter and decoder control see it.

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

uint32_t Feed(DVBSubtitle& dvb, const Bytes& bytes) {
  PESPacket packet;
  Bytes copy = bytes;
  packet.data = copy.data();
  packet.size = static_cast<uint32_t>(copy.size());
  return dvb.processPES(packet);
}

// A typical display set: page 1 with two regions of 4-bit text-like pixels.
ds::DisplaySet TwoRegions(int timeOut, int version, int state = ds::kAcquisitionPoint) {
  ds::DisplaySet set(1);
  set.Page({timeOut, version, state, {{1, 60, 430}, {2, 60, 490}}});
  ds::ClutDefinition clut{0, version, {}};
  for (int k = 0; k < 4; ++k) {
    ds::ClutEntry e;
    e.id = k;
    e.y = k == 0 ? 0 : static_cast<uint8_t>(60 * k);
    clut.entries.push_back(e);
  }
  set.Clut(clut);
  for (int id = 1; id <= 2; ++id) {
    ds::RegionComposition rc;
    rc.regionId = id;
    rc.version = version;
    rc.width = 600;
    rc.height = 50;
    rc.objects = {{id, 0, 0, 0, 0}};
    set.Region(rc);
    Bytes codes(600 * 50);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = ((i / 7) % 3 == 0) ? 1 : 0;
    set.Object(ds::ObjectFromBitmap(id, codes, 600, 50, 4, version));
  }
  set.End();
  return set;
}

struct Running {
  RecordingFrameBuffer fb;
  Config config;
  DVBSubtitle dvb;
  explicit Running(const char* maxShowTime = nullptr) {
    if (maxShowTime != nullptr) config.set("DVBMaxShowTime", maxShowTime);
    dvb.config = &config;
    dvb.frameBuffer = &fb;
    dvb.configure();
  }
};

}  // namespace

// Every prefix of a display set, and every byte of it changed, must neither
// read nor write outside the packet and the screen. ASan watches the reads;
// the recording framebuffer counts writes off the screen and lock misuse.
TEST(DvbsubDecoder, TruncatedAndCorruptedPacketsStayInBounds) {
  ds::DisplaySet set(1);
  set.Page({5, 0, ds::kAcquisitionPoint, {{1, 650, 540}, {2, 0, 0}}});
  set.Clut({0, 0, {ds::ClutEntry{}}});
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.width = 100;
  rc.height = 40;
  rc.objects = {{1, 0, 0, 50, 30}, {1, 1, 0, 0, 0, 1, 2}};
  set.Region(rc);
  Bytes codes(100 * 20, 5);
  set.Object(ds::ObjectFromBitmap(1, codes, 100, 20, 2));
  set.Object(ds::ObjectFromBitmap(1, codes, 100, 20, 8));
  set.End();
  const Bytes packet = set.Packet(1000);

  Running r;
  LogCapture capture;  // keep the flood of error lines out of the test output
  for (size_t n = 0; n <= packet.size(); ++n) {
    Bytes cut(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
    r.dvb.processPES(PESPacket{0, cut.data(), static_cast<uint32_t>(cut.size())});
    r.dvb.configure();
  }
  const uint8_t values[] = {0x00, 0x01, 0x0F, 0x7F, 0x80, 0xF0, 0xFF};
  for (size_t i = 0; i < packet.size(); ++i) {
    for (uint8_t v : values) {
      Bytes bad = packet;
      bad[i] = v;
      r.dvb.processPES(PESPacket{0, bad.data(), static_cast<uint32_t>(bad.size())});
      r.dvb.clear(0);
      if (i % 16 == 0) r.dvb.configure();
    }
  }
  EXPECT_EQ(r.fb.offScreen, 0);
  EXPECT_EQ(r.fb.lockMisuse, 0);
  EXPECT_EQ(r.fb.unlockedDraws, 0);
  EXPECT_FALSE(r.fb.locked);
}

TEST(DvbsubDecoder, HugeRegionAndLyingHeaderLength) {
  Running r;
  ds::DisplaySet set(1);
  set.Page({5, 0, ds::kAcquisitionPoint, {{1, 0, 0}}});
  ds::RegionComposition rc;
  rc.regionId = 1;
  rc.width = 65535;
  rc.height = 65535;
  rc.objects = {{1, 0, 0, 0, 0}};
  set.Region(rc);
  set.Object(ds::ObjectFromBitmap(1, Bytes(720 * 4, 3), 720, 4, 4));
  set.End();
  LogCapture capture;
  // The region is refused but still counts for the display time.
  EXPECT_EQ(Feed(r.dvb, set.Packet(0)), 5000u);
  EXPECT_NE(capture.Text().find("ERROR: Region 1 of 65535x65535 refused.\n"), std::string::npos);
  EXPECT_EQ(r.fb.CountSet(), 0);

  Bytes lying = TwoRegions(5, 1).Packet(0);
  lying[8] = 0xFF;  // header data length far beyond the packet's end... or not
  lying.resize(200);
  capture.Clear();
  EXPECT_EQ(Feed(r.dvb, lying), 0u);
  EXPECT_NE(capture.Text().find("ERROR: No data left (-66)\n"), std::string::npos);
}
