#include "stream/pes_filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "sim/sim_device_io.h"
#include "stream/pmt_loader.h"
#include "support/fault_io.h"
#include "support/recording_decoder.h"
#include "support/scripted_demux.h"
#include "support/test_clock.h"
#include "tsgen/pes.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kFarFuture = int64_t{1} << 40;

// Stands in for thread creation: the test runs the reader passes itself.
int NoThread(pthread_t* thread, const pthread_attr_t*, void* (*)(void*), void*) {
  *thread = 0;
  return 0;
}

int RefuseThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

// A private_stream_1 packet with `length` payload bytes counting up from `seed`
// and no PTS (its flag byte is never reached by so short a header).
Bytes RawPacket(int length, uint8_t seed = 0x40) {
  Bytes p = {0x00, 0x00, 0x01, 0xBD, static_cast<uint8_t>(length >> 8),
             static_cast<uint8_t>(length & 0xFF)};
  for (int i = 0; i < length; ++i) p.push_back(static_cast<uint8_t>(seed + i));
  return p;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<Bytes> SplitEvery(const Bytes& bytes, size_t n) {
  std::vector<Bytes> out;
  for (size_t i = 0; i < bytes.size(); i += n) {
    out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                     bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), i + n)));
  }
  return out;
}

Platform MakePlatform(DeviceIO* io, Clock* clock) {
  Platform p;
  p.io = io;
  p.clock = clock;
  p.paths = Paths::Under("/nonexistent/zuva-pes-test");
  return p;
}

// Everything a filter needs, on a scripted demultiplexer behind a
// fault-injecting layer. The filter is built last and destroyed first.
struct Rig {
  explicit Rig(Clock* clockOverride = nullptr)
      : platform(MakePlatform(&io, clockOverride != nullptr ? clockOverride : &clock)),
        filter(platform) {
    sim.Attach(platform.paths.demux, &demux);
    decoder.SetStcSource([this] { return demux.STC(); });
  }

  // Starts without a thread; the test drives the passes.
  void StartManual(int recDelay = 0) {
    filter.SetThreadCreator(&NoThread);
    ASSERT_TRUE(filter.Start(0x1FF, &decoder, recDelay));
  }

  // Queues a packet carrying `pts` (or none when negative).
  void Queue(int64_t pts, const Bytes& payload = {0x10, 0x2C}) {
    const Bytes p = tsgen::BuildPES(0xBD, pts, payload);
    filter.QueuePacket(p.data(), static_cast<int>(p.size()));
  }

  // Hands every queued packet to the decoder.
  void Drain() {
    const int64_t stc = demux.STC();
    demux.SetSTC(kFarFuture);
    for (size_t n = filter.QueuedPackets(); n > 0; --n) filter.ReleaseDuePacket();
    demux.SetSTC(stc);
  }

  ScriptedDemux demux;
  SimDeviceIO sim;
  FaultIO io{&sim};
  StepClock clock;
  Platform platform;
  RecordingDecoder decoder;
  PESFilter filter;
};

// ---------------------------------------------------------------------------
// Reassembly

struct ReassemblyCase {
  std::string name;
  std::vector<Bytes> chunks;
  std::vector<size_t> queuedAfter;  // cumulative, one per chunk
  std::vector<Bytes> packets;
};

std::vector<ReassemblyCase> ReassemblyCases() {
  const Bytes big = RawPacket(0xFFFF, 0x01);
  std::vector<Bytes> bigChunks = SplitEvery(big, 16384);
  bigChunks.push_back(RawPacket(2, 0x77));
  std::vector<size_t> bigCounts(bigChunks.size(), 0);
  bigCounts[bigCounts.size() - 2] = 1;
  bigCounts.back() = 2;

  const Bytes p3 = RawPacket(3, 0xA0);
  const Bytes p2 = RawPacket(2, 0xB0);
  std::vector<Bytes> byteWise = SplitEvery(Cat({p3, p2}), 1);
  std::vector<size_t> byteCounts(byteWise.size(), 0);
  for (size_t i = p3.size() - 1; i < byteWise.size(); ++i) byteCounts[i] = 1;
  byteCounts.back() = 2;

  const Bytes withStartCodeInside = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x06,
                                     0x00, 0x00, 0x01, 0xBD, 0x00, 0x01};
  return {
      {"garbage before the start code",
       {{0x12, 0x00, 0x00, 0x01, 0xBD, 0x00, 0x03, 0xAA, 0xBB, 0xCC}},
       {1},
       {{0x00, 0x00, 0x01, 0xBD, 0x00, 0x03, 0xAA, 0xBB, 0xCC}}},
      {"other stream id is skipped",
       {Cat({{0x00, 0x00, 0x01, 0xC0, 0x00, 0x03, 0xAA, 0xBB, 0xCC}, p2})},
       {1},
       {p2}},
      {"header in one read, body in the next",
       {Bytes(p3.begin(), p3.begin() + 6), Bytes(p3.begin() + 6, p3.end())},
       {0, 1},
       {p3}},
      {"length field split between reads",
       {Bytes(p3.begin(), p3.begin() + 5), Bytes(p3.begin() + 5, p3.end())},
       {0, 1},
       {p3}},
      {"two packets in one read", {Cat({p3, p2})}, {2}, {p3, p2}},
      {"length 0 is queued once a further byte arrives",
       {{0x00, 0x00, 0x01, 0xBD, 0x00, 0x00}, {0xFF}},
       {0, 1},
       {{0x00, 0x00, 0x01, 0xBD, 0x00, 0x00}}},
      {"length 0 directly followed by a packet",
       {Cat({{0x00, 0x00, 0x01, 0xBD, 0x00, 0x00}, p2})},
       {2},
       {{0x00, 0x00, 0x01, 0xBD, 0x00, 0x00}, p2}},
      {"largest length fits whole and keeps the stream in step", bigChunks, bigCounts, {big, RawPacket(2, 0x77)}},
      {"start code cut after one byte",
       {{0x55, 0x00}, Bytes(p3.begin() + 1, p3.end())},
       {0, 1},
       {p3}},
      {"start code cut after two bytes",
       {{0x55, 0x00, 0x00}, Bytes(p3.begin() + 2, p3.end())},
       {0, 1},
       {p3}},
      {"start code cut after three bytes",
       {{0x55, 0x00, 0x00, 0x01}, Bytes(p3.begin() + 3, p3.end())},
       {0, 1},
       {p3}},
      {"cut start code that turns out false",
       {{0x00, 0x00, 0x01}, {0xC0}, p2},
       {0, 0, 1},
       {p2}},
      {"three zeros before 01 BD", {Cat({{0x00}, p2})}, {1}, {p2}},
      {"00 00 01 00 00 01 BD", {Cat({{0x00, 0x00, 0x01}, p2})}, {1}, {p2}},
      {"cut between a false and a true start", {{0x00, 0x00, 0x01, 0x00, 0x00}, Bytes(p2.begin() + 2, p2.end())}, {0, 1}, {p2}},
      {"one byte per read", byteWise, byteCounts, {p3, p2}},
      {"start code inside a payload is data", {withStartCodeInside}, {1}, {withStartCodeInside}},
      {"only garbage", {{0x01, 0xBD, 0x00, 0x01, 0xFF, 0x00, 0x01, 0xBD}}, {0}, {}},
  };
}

TEST(PESFilterReassembly, Table) {
  LogCapture capture;
  for (const ReassemblyCase& c : ReassemblyCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.chunks.size(), c.queuedAfter.size());
    Rig rig;
    rig.StartManual();
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      rig.filter.Reassemble(c.chunks[i].data(), static_cast<int>(c.chunks[i].size()));
      EXPECT_EQ(rig.filter.QueuedPackets(), c.queuedAfter[i]) << "after chunk " << i;
    }
    rig.Drain();
    const auto got = rig.decoder.Packets();
    ASSERT_EQ(got.size(), c.packets.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].size, c.packets[i].size()) << "packet " << i;
      EXPECT_EQ(got[i].bytes, c.packets[i]) << "packet " << i;
    }
    rig.filter.Stop();
  }
}

// The read side: at most 16,384 bytes per read, no sleep while data comes,
// a 10 ms sleep when the read brings nothing or fails.

// ---------------------------------------------------------------------------
// Time stamps

// The stamp a packet gets: its PTS, or the STC at its arrival plus RecDelay.

// Release at STC >= stamp, one packet per pass, in arrival order (a head
// overtaken by a due packet behind it is the damaged-time tests' matter).
TEST(PESFilterTiming, ReleaseRule) {
  struct Step {
    int64_t stc;
    std::vector<int64_t> released;  // cumulative PTS values seen by the decoder
  };
  struct Case {
    const char* name;
    std::vector<int64_t> queued;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"due at equality, not before",
       {1000000},
       {{0, {}}, {999999, {}}, {1000000, {1000000}}}},
      {"one per pass",
       {10, 20, 30},
       {{100, {10}}, {100, {10, 20}}, {100, {10, 20, 30}}, {100, {10, 20, 30}}}},
      {"STC lost: stamped packets wait", {1}, {{-1, {}}, {1, {1}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Rig rig;
    rig.StartManual();
    for (int64_t pts : c.queued) rig.Queue(pts);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step& s = c.steps[i];
      rig.demux.SetSTCFails(s.stc < 0);
      rig.demux.SetSTC(s.stc < 0 ? 0 : s.stc);
      rig.filter.ReaderPass();
      std::vector<int64_t> seen;
      for (const auto& p : rig.decoder.Packets()) {
        seen.push_back(p.pts);
        EXPECT_GE(p.stc, p.pts);
      }
      EXPECT_EQ(seen, s.released);
    }
    rig.filter.Stop();
  }
}

// ---------------------------------------------------------------------------
// Start and Stop

TEST(PESFilterDevice, FailureRows) {
  struct Case {
    const char* name;
    const char* op;
    unsigned long request;
    bool refuseThread;
    std::string log;
    int handlesAfterStart;
    int closesAfterStart;
    int dmxStopsAfterStop;
  };
  const std::vector<Case> cases = {
      {"open", "open", 0, false, "ZUVA: Failed open(DMX)\n", 0, 0, 0},
      {"buffer size", "ioctl", DMX_SET_BUFFERSIZE, false,
       "ZUVA: Failed ioctl(DMX_SET_BUFFERSIZE)\n", 0, 1, 0},
      {"PES filter", "ioctl", DMX_SET_PES_FILTER, false,
       "ZUVA: Failed ioctl(DMX_SET_PES_FILTER)\n", 0, 1, 0},
      {"thread creation", "", 0, true, "ZUVA: Failed pthread_create()\n", 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Rig rig;
    capture.Clear();
    if (c.op[0] != '\0') rig.io.FailOn(c.op, c.request);
    if (c.refuseThread) rig.filter.SetThreadCreator(&RefuseThread);
    EXPECT_FALSE(rig.filter.Start(0x100, &rig.decoder, 0));
    EXPECT_EQ(capture.Text(), "ZUVA: Filter starting: 0x100\n" + c.log);
    EXPECT_EQ(rig.sim.OpenHandles(), c.handlesAfterStart);
    EXPECT_EQ(rig.filter.Fd() != -1, c.handlesAfterStart == 1);
    EXPECT_EQ(rig.io.Count("close"), c.closesAfterStart);
    EXPECT_FALSE(rig.filter.HasThread());

    capture.Clear();
    rig.filter.Stop();
    EXPECT_EQ(capture.Text(), "ZUVA: Stoping PESFilter thread.\nZUVA: Clean up PES queue.\n");
    EXPECT_EQ(rig.io.Count("ioctl", DMX_STOP), c.dmxStopsAfterStop);
    EXPECT_EQ(rig.io.Count("close"), c.closesAfterStart + c.dmxStopsAfterStop);
    EXPECT_EQ(rig.sim.OpenHandles(), 0);

    // The filter is usable again.
    rig.io.ClearFaults();
    rig.filter.SetThreadCreator(&NoThread);
    EXPECT_TRUE(rig.filter.Start(0x100, &rig.decoder, 0));
    rig.filter.Stop();
    EXPECT_EQ(rig.sim.OpenHandles(), 0);
  }
}

TEST(PESFilterTiming, WithoutDecoderPacketsAreDroppedAndNothingIsCleared) {
  LogCapture capture;
  Rig rig;
  rig.StartManual();
  rig.decoder.ScriptDurations({5000});
  rig.demux.SetSTC(1000000);
  rig.Queue(1000000);
  rig.filter.ReaderPass();
  ASSERT_EQ(rig.filter.ClearDeadline(), 1450000);
  rig.filter.Stop();

  rig.filter.SetThreadCreator(&NoThread);
  ASSERT_TRUE(rig.filter.Start(0x200, nullptr, 0));
  rig.Queue(1000);
  capture.Clear();
  rig.demux.SetSTC(1500000);
  rig.filter.ReaderPass();  // drops the packet; deadline passes silently
  EXPECT_EQ(rig.filter.QueuedPackets(), 0u);
  EXPECT_EQ(rig.filter.ClearDeadline(), 0);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(rig.decoder.PacketCount(), 1u);
  EXPECT_EQ(rig.decoder.ClearCount(), 0u);
}

}  // namespace
