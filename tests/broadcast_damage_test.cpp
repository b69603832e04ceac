// One bit error in the broadcast costs at most the packet it hit.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "dvbsub/subtitle_context.h"
#include "support/dvbsub_screen.h"
#include "sim/replay.h"
#include "stream/pes_filter.h"
#include "support/app_harness.h"
#include "support/fault_io.h"
#include "support/recording_decoder.h"
#include "support/scripted_demux.h"
#include "support/test_clock.h"
#include "tsgen/demo.h"
#include "tsgen/dvbsub_encoder.h"
#include "tsgen/pes.h"
#include "tsgen/teletext_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace dvb = tsgen::dvbsub;

// Stands in for thread creation: the test runs the reader passes itself.
int NoThread(pthread_t* thread, const pthread_attr_t*, void* (*)(void*), void*) { return *thread = 0; }

// A filter whose passes the test drives, on a scripted demultiplexer.
struct Filter {
  Filter() : filter(platform) {
    sim.Attach(platform.paths.demux, &demux);
    filter.SetThreadCreator(&NoThread);
    EXPECT_TRUE(filter.Start(0x40, &decoder, 0));
  }
  // Feeds `stream` in reads of `chunk` bytes, then releases what is queued.
  std::vector<Bytes> Feed(const Bytes& stream, size_t chunk) {
    for (size_t i = 0; i < stream.size(); i += chunk)
      filter.Reassemble(stream.data() + i, static_cast<int>(std::min(chunk, stream.size() - i)));
    demux.SetSTC(int64_t{1} << 34);
    while (filter.QueuedPackets() > 0) filter.ReleaseDuePacket();
    std::vector<Bytes> out;
    for (const auto& p : decoder.Packets()) out.push_back(p.bytes);
    return out;
  }

  ScriptedDemux demux;
  SimDeviceIO sim;
  StepClock clock;
  Platform platform{&sim, &clock, Paths::Under("/nonexistent/zuva-damage-test")};
  RecordingDecoder decoder;
  PESFilter filter;
};

std::vector<Bytes> TeletextPackets(int count, int unitsPerPacket = 7) {
  const std::vector<tsgen::TeletextUnit> units(count * unitsPerPacket, tsgen::StuffingUnit());
  return tsgen::PackTeletextPES(units, 900000, unitsPerPacket);
}

Bytes DvbPacket(int64_t pts, const Bytes& objectPixels = {}) {
  dvb::DisplaySet set(1);
  set.Page({5, 0, dvb::kAcquisitionPoint, {{0, 10, 400}}});
  if (!objectPixels.empty()) set.Raw(dvb::Segment(dvb::kObjectData, 1, objectPixels));
  return set.End().Packet(pts);
}

Bytes WithLength(Bytes packet, int length) {
  packet[4] = static_cast<uint8_t>(length >> 8);
  packet[5] = static_cast<uint8_t>(length);
  return packet;
}

// A damaged length field ends its packet where the next one visibly begins;
// a long packet that is what it says is kept whole, whatever its data hold.
TEST(BroadcastDamage, ReassemblyResynchronisesAfterADamagedLength) {
  const std::vector<Bytes> txt = TeletextPackets(4);
  const std::vector<Bytes> longTxt = TeletextPackets(2, 39);
  // Object data whose pixel bytes hold a start code: only a walk of the
  // segments tells it from the start of the next packet.
  Bytes pixels = {0x00, 0x01, 0x00, 0x07, 0x00, 0x00};
  for (int i = 0; i < 3000; ++i) pixels.insert(pixels.end(), {0x00, 0x00, 0x01, 0xBD, 0x11});
  const Bytes bigDvb = DvbPacket(1000, pixels);
  const std::vector<Bytes> dvbs = {DvbPacket(1000), DvbPacket(2000), DvbPacket(3000)};
  // Every packet sent comes out, each as sent.
  struct Case {
    const char* name;
    std::vector<Bytes> sent;
    int resyncLines;
  };
  const std::vector<Case> cases = {
      {"teletext length 0xC26A instead of 0x016A",
       {WithLength(txt[0], 0xC26A), txt[1], txt[2], txt[3]}, 1},
      {"DVB length far too long", {WithLength(dvbs[0], 0xF000), dvbs[1], dvbs[2]}, 1},
      {"DVB end marker followed by stuffing",
       {WithLength(Cat({dvbs[0], {0xFF, 0xFF}}), 0x8000), dvbs[1]}, 1},
      {"true long teletext packets", longTxt, 0},
      {"true long DVB packet with start codes in its pixels", {bigDvb, dvbs[1]}, 0},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{7}, size_t{1000}, size_t{16384}}) {
      SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(chunk));
      LogCapture capture;
      Filter f;
      EXPECT_EQ(f.Feed(Cat(c.sent), chunk), c.sent);
      EXPECT_EQ(CountOf(capture.Text(), "disagrees with the stream"), c.resyncLines);
      f.filter.Stop();
    }
  }
}

// The queue holds at most its bounds, dropping the oldest with one line; a
// PTS far ahead of the clock, or overtaken by a due packet, holds nothing.
TEST(BroadcastDamage, QueueIsBoundedAndDamagedTimesHoldNothingBack) {
  constexpr int64_t kStc = 1000000;
  struct Case {
    const char* name;
    std::vector<int64_t> pts;
    int payload;
    size_t maxQueued;
    int dropLines;
    size_t releasedInOnePassEach;  // after as many passes as packets
  };
  const std::vector<Case> cases = {
      {"packet bound", std::vector<int64_t>(600, kStc + 90000), 10, 512, 1, 0},
      {"byte bound", std::vector<int64_t>(80, kStc + 90000), 60000, 34, 1, 0},
      {"61 s ahead goes at once", {kStc + 61 * 90000}, 10, 1, 0, 1},
      {"59 s ahead waits", {kStc + 59 * 90000}, 10, 1, 0, 0},
      {"a pre-wrap PTS after the clock wrapped", {0x1FFFFFF00LL, kStc - 5}, 10, 2, 0, 2},
      {"overtaken by a due packet", {kStc + 30 * 90000, kStc - 5}, 10, 2, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Filter f;
    f.demux.SetSTC(kStc);
    size_t most = 0;
    for (int64_t pts : c.pts) {
      const Bytes p = tsgen::BuildPES(0xBD, pts, Bytes(static_cast<size_t>(c.payload), 0x20));
      f.filter.QueuePacket(p.data(), static_cast<int>(p.size()));
      most = std::max(most, f.filter.QueuedPackets());
      EXPECT_LE(f.filter.QueuedBytes(), PESFilter::kMaxQueuedBytes);
    }
    EXPECT_EQ(most, c.maxQueued);
    EXPECT_EQ(CountOf(capture.Text(), "PES queue full"), c.dropLines);
    for (size_t i = 0; i < c.pts.size(); ++i) f.filter.ReleaseDuePacket();
    EXPECT_EQ(f.decoder.PacketCount(), c.releasedInOnePassEach);
    f.filter.Stop();
  }
}

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

// A PES filter that could not be started is started again on a later cycle,
// with no change of service or settings.
TEST(BroadcastDamage, FailedFilterStartIsRetried) {
  TempDir dir;
  const Bytes bytes = tsgen::BuildDemoRecording(20);
  std::ofstream(dir.Path() + "/demo.ts", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::unique_ptr<FaultIO> faults;
  replay::Options o;
  o.recording = dir.Path() + "/demo.ts";
  o.service = 100;
  o.speed = 0;
  o.logOut = nullptr;
  o.keepLog = true;
  o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
    faults = std::make_unique<FaultIO>(sim);
    faults->FailOn("ioctl", DMX_SET_PES_FILTER, 1, EBUSY);
    return faults.get();
  };
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(CountOf(r.log, "Service changed: "), 1);
  EXPECT_EQ(CountOf(r.log, "ZUVA: Failed ioctl(DMX_SET_PES_FILTER)\n"), 1);
  EXPECT_GE(CountOf(r.log, "ZUVA: Filter starting: "), 2);
  EXPECT_FALSE(r.srt.empty()) << r.log.substr(0, 3000);
}

}  // namespace
