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

TEST(DvbsubDecoder, ResultsInMilliseconds) {
  struct Case {
    const char* name;
    const char* maxShowTime;
    std::vector<Bytes> packets;
    std::vector<uint32_t> results;
  };
  ds::DisplaySet noEnd(1);
  noEnd.Page({5, 0, ds::kAcquisitionPoint, {{1, 0, 0}}});
  ds::DisplaySet update(1);
  update.Page({5, 1, ds::kNormalCase, {}}).End();
  const std::vector<Case> cases = {
      {"page time-out", nullptr, {TwoRegions(5, 0).Packet(0)}, {5000}},
      {"capped", "3", {TwoRegions(5, 0).Packet(0)}, {3000}},
      {"cap above the time-out", "30", {TwoRegions(5, 0).Packet(0)}, {5000}},
      {"zero becomes six", nullptr, {TwoRegions(0, 0).Packet(0)}, {6000}},
      {"no end of display set", nullptr, {noEnd.Packet(0)}, {0}},
      {"second draws nothing", nullptr, {TwoRegions(5, 0).Packet(0), update.Packet(0)}, {5000, 0}},
      {"largest time-out", nullptr, {TwoRegions(255, 0).Packet(0)}, {255000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Running r(c.maxShowTime);
    for (size_t i = 0; i < c.packets.size(); ++i) EXPECT_EQ(Feed(r.dvb, c.packets[i]), c.results[i]);
  }
}

TEST(DvbsubDecoder, ProcessPESFramesItsLog) {
  Running r;
  LogCapture capture;
  Feed(r.dvb, {0x00, 0x00, 0x01, 0xBD, 0x00, 0x03, 0x80, 0x00, 0x00, 0x21, 0x00});
  EXPECT_EQ(capture.Text(),
            "ZUVA: --------- RECEIVE PES START ---------\n"
            "ZUVA: ERROR: Data identifier is 0x21, but not 0x20\n"
            "ZUVA: ---------  RECEIVE PES END  ---------\n");
}

TEST(DvbsubDecoder, ConfigureReadsTheCap) {
  struct Case {
    const char* name;
    std::vector<const char*> runs;  // the setting for each configure, null: absent
    std::string lastLog;
    int cap;
  };
  const std::vector<Case> cases = {
      {"absent", {nullptr}, "ZUVA: DVB Subtitle uses MaxShowTime: 0\n", 0},
      {"set", {"4"}, "ZUVA: DVB Subtitle uses MaxShowTime: 4\n", 4},
      {"kept when absent later", {"4", nullptr}, "ZUVA: DVB Subtitle uses MaxShowTime: 4\n", 4},
      {"negative", {"-5"},
       "ZUVA: DVBMaxShowTime -5 is negative, no cap used\n"
       "ZUVA: DVB Subtitle uses MaxShowTime: 0\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingFrameBuffer fb;
    DVBSubtitle dvb;
    std::string text;
    for (const char* value : c.runs) {
      Config config;
      if (value != nullptr) config.set("DVBMaxShowTime", value);
      dvb.config = &config;
      dvb.frameBuffer = &fb;
      LogCapture capture;
      dvb.configure();
      text = capture.Text();
      dvb.stop();
      dvb.config = nullptr;
    }
    EXPECT_EQ(text, c.lastLog);
    EXPECT_EQ(dvb.context.maxShowTime, c.cap);
  }
}

TEST(DvbsubDecoder, ConstructionAndStop) {
  LogCapture capture;
  RecordingFrameBuffer fb;
  {
    DVBSubtitle dvb;
    EXPECT_EQ(capture.Text(), "ZUVA: DVBSubtitle created.\n");
    EXPECT_EQ(dvb.config, nullptr);
    EXPECT_EQ(dvb.frameBuffer, nullptr);
    EXPECT_EQ(dvb.context.bbox.x0, 0);
    EXPECT_EQ(dvb.context.enabled, 0);
    capture.Clear();
    dvb.frameBuffer = &fb;
    dvb.stop();
    EXPECT_EQ(capture.Text(), "ZUVA: Stop DVBSubtitle\n");
    EXPECT_TRUE(fb.calls.empty());
    EXPECT_EQ(fb.reads, 0);
  }
}

TEST(DvbsubDecoder, StopOfARunningDecoderClearsTheScreen) {
  Running r;
  Feed(r.dvb, TwoRegions(5, 0).Packet(0));
  EXPECT_GT(r.fb.CountSet(), 0);
  LogCapture capture;
  r.dvb.stop();
  EXPECT_EQ(capture.Text(), "ZUVA: Stop DVBSubtitle\n");
  EXPECT_EQ(r.fb.CountSet(), 0);
  EXPECT_EQ(r.fb.calls.back(), "FillRect 0 0 720 576 00000000");
  EXPECT_EQ(r.dvb.context.pages, nullptr);
  EXPECT_EQ(r.dvb.context.enabled, 0);
  EXPECT_EQ(r.fb.lockMisuse, 0);
  EXPECT_EQ(r.fb.unlockedDraws, 0);
  // A second stop only logs.
  r.fb.calls.clear();
  r.dvb.stop();
  EXPECT_TRUE(r.fb.calls.empty());
}

TEST(DvbsubDecoder, ClearBlanksTheDrawnRowsOverTheFullWidth) {
  Running r;
  r.fb.SetPixel(5, 429, 0x010203FF);
  r.fb.SetPixel(5, 540, 0x010203FF);
  Feed(r.dvb, TwoRegions(5, 0).Packet(0));
  r.fb.SetPixel(715, 500, 0x010203FF);
  LogCapture capture;
  EXPECT_EQ(r.dvb.clear(0), 0u);
  EXPECT_EQ(capture.Text(),
            "ZUVA: Force CLEAR SCREEN.\n"
            "ZUVA:   BBOX clear 60:430 -> 720:540\n");
  EXPECT_EQ(r.fb.calls.back(), "FillRect 0 430 720 110 00000000");
  EXPECT_EQ(r.fb.CountSet(), 2);
  EXPECT_FALSE(r.fb.locked);
  // Nothing left to clear: only the log line.
  capture.Clear();
  r.dvb.clear(0);
  EXPECT_EQ(capture.Text(), "ZUVA: Force CLEAR SCREEN.\n");
}

TEST(DvbsubDecoder, ReconfigureDropsPagesButKeepsTheScreen) {
  Running r;
  Feed(r.dvb, TwoRegions(5, 0).Packet(0));
  const int shown = r.fb.CountSet();
  r.dvb.configure();
  EXPECT_EQ(r.dvb.context.pages, nullptr);
  EXPECT_EQ(r.dvb.context.enabled, 1);
  EXPECT_EQ(r.fb.CountSet(), shown);
  // The same version is new again after the reset.
  EXPECT_EQ(Feed(r.dvb, TwoRegions(5, 0).Packet(0)), 5000u);
}

TEST(DvbsubDecoder, WithoutAFrameBufferNothingIsDrawn) {
  DVBSubtitle dvb;
  dvb.configure();
  EXPECT_EQ(Feed(dvb, TwoRegions(4, 0).Packet(0)), 4000u);
  EXPECT_EQ(dvb.clear(0), 0u);
  dvb.stop();
}

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
