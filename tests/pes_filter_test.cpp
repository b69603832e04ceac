#include "stream/pes_filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/log.h"
#include "sim/sim_device_io.h"
#include "support/fault_io.h"
#include "support/recording_decoder.h"
#include "support/scripted_demux.h"
#include "support/test_clock.h"
#include "tsgen/pes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Stands in for thread creation: the test runs the reader passes itself.
int NoThread(pthread_t* thread, const pthread_attr_t*, void* (*)(void*), void*) {
  *thread = 0;
  return 0;
}

int RefuseThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

// A private_stream_1 packet with `length` payload bytes counting up from `seed`
// and no PTS (its flag byte is never reached by so short a header).
Bytes RawPacket(int length, uint8_t seed) {
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

Bytes Part(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

// A filter on a scripted demultiplexer behind a fault-injecting layer; the
// filter is built last and destroyed first.
struct Rig {
  Rig() : filter(platform) {
    sim.Attach(platform.paths.demux, &demux);
    decoder.SetStcSource([this] { return demux.STC(); });
  }

  // Starts without a thread; the test drives the passes.
  void StartManual(RecordingDecoder* to) {
    filter.SetThreadCreator(&NoThread);
    ASSERT_TRUE(filter.Start(0x1FF, to, 0));
  }

  void Queue(int64_t pts) {
    const Bytes p = tsgen::BuildPES(0xBD, pts, {0x10, 0x2C});
    filter.QueuePacket(p.data(), static_cast<int>(p.size()));
  }

  ScriptedDemux demux;
  SimDeviceIO sim;
  FaultIO io{&sim};
  StepClock clock;
  Platform platform{&io, &clock, Paths::Under("/nonexistent/zuva-pes-test")};
  RecordingDecoder decoder;
  PESFilter filter;
};

TEST(PESFilterReassembly, Table) {
  struct Case {
    std::string name;
    std::vector<Bytes> chunks;
    std::vector<size_t> queuedAfter;  // cumulative, one per chunk
    std::vector<Bytes> packets;
  };
  const Bytes big = RawPacket(0xFFFF, 0x01);
  const Bytes p3 = RawPacket(3, 0xA0);
  const Bytes p2 = RawPacket(2, 0xB0);
  const Bytes empty = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x00};
  const Bytes startCodeInside = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x06,
                                 0x00, 0x00, 0x01, 0xBD, 0x00, 0x01};
  std::vector<Case> cases = {
      {"garbage before the start code", {Cat({{0x12}, p3})}, {1}, {p3}},
      {"other stream id is skipped", {Cat({{0x00, 0x00, 0x01, 0xC0, 0x00, 0x03, 1, 2, 3}, p2})},
       {1}, {p2}},
      {"two packets in one read", {Cat({p3, p2})}, {2}, {p3, p2}},
      {"length 0 is queued once a further byte arrives", {empty, {0xFF}}, {0, 1}, {empty}},
      {"length 0 directly followed by a packet", {Cat({empty, p2})}, {2}, {empty, p2}},
      {"start code cut after three bytes", {{0x55, 0, 0, 1}, Part(p3, 3, 9)}, {0, 1}, {p3}},
      {"cut start code that turns out false", {{0, 0, 1}, {0xC0}, p2}, {0, 0, 1}, {p2}},
      {"three zeros before 01 BD", {Cat({{0x00}, p2})}, {1}, {p2}},
      {"00 00 01 00 00 01 BD", {Cat({{0x00, 0x00, 0x01}, p2})}, {1}, {p2}},
      {"cut between a false and a true start", {{0, 0, 1, 0, 0}, Part(p2, 2, 8)}, {0, 1}, {p2}},
      {"start code inside a payload is data", {startCodeInside}, {1}, {startCodeInside}},
      {"only garbage", {{0x01, 0xBD, 0x00, 0x01, 0xFF, 0x00, 0x01, 0xBD}}, {0}, {}},
  };
  // The largest length in reads of 16 KiB, followed by a small packet.
  Case largest{"largest length fits whole and keeps the stream in step", {}, {}, {big, p2}};
  for (size_t i = 0; i < big.size(); i += 16384) largest.chunks.push_back(Part(big, i, i + 16384));
  largest.chunks.push_back(p2);
  largest.queuedAfter.assign(largest.chunks.size() - 2, 0);
  largest.queuedAfter.insert(largest.queuedAfter.end(), {1, 2});
  // Cuts every start code and header at every byte.
  Case byteWise{"one byte per read", {}, {}, {p3, p2}};
  for (uint8_t b : Cat({{0x55}, p3, p2})) {
    byteWise.chunks.push_back({b});
    const size_t n = byteWise.chunks.size() - 1;
    byteWise.queuedAfter.push_back(n < p3.size() ? 0 : n < p3.size() + p2.size() ? 1 : 2);
  }
  cases.push_back(largest);
  cases.push_back(byteWise);

  LogCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.StartManual(&rig.decoder);
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      rig.filter.Reassemble(c.chunks[i].data(), static_cast<int>(c.chunks[i].size()));
      EXPECT_EQ(rig.filter.QueuedPackets(), c.queuedAfter[i]) << "after chunk " << i;
    }
    rig.demux.SetSTC(int64_t{1} << 40);
    while (rig.filter.QueuedPackets() > 0) rig.filter.ReleaseDuePacket();
    const auto got = rig.decoder.Packets();
    ASSERT_EQ(got.size(), c.packets.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].size, c.packets[i].size()) << "packet " << i;
      EXPECT_EQ(got[i].bytes, c.packets[i]) << "packet " << i;
    }
    rig.filter.Stop();
  }
}

// Release at STC >= stamp, one packet per pass, in arrival order.
TEST(PESFilterTiming, ReleaseRule) {
  struct Step {
    int64_t stc;                    // negative: the clock cannot be read
    std::vector<int64_t> released;  // cumulative PTS values seen by the decoder
  };
  struct Case {
    const char* name;
    std::vector<int64_t> queued;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"due at equality, not before", {1000000}, {{0, {}}, {999999, {}}, {1000000, {1000000}}}},
      {"one per pass", {10, 20, 30},
       {{100, {10}}, {100, {10, 20}}, {100, {10, 20, 30}}, {100, {10, 20, 30}}}},
      {"STC lost: stamped packets wait", {1}, {{-1, {}}, {1, {1}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Rig rig;
    rig.StartManual(&rig.decoder);
    for (int64_t pts : c.queued) rig.Queue(pts);
    for (const Step& s : c.steps) {
      SCOPED_TRACE(s.stc);
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

TEST(PESFilterDevice, FailureRows) {
  struct Case {
    const char* op;
    unsigned long request;
    std::string log;
    int handlesAfterStart;
    int closesAfterStart;
  };
  const std::vector<Case> cases = {
      {"open", 0, "ZUVA: Failed open(DMX)\n", 0, 0},
      {"ioctl", DMX_SET_BUFFERSIZE, "ZUVA: Failed ioctl(DMX_SET_BUFFERSIZE)\n", 0, 1},
      {"ioctl", DMX_SET_PES_FILTER, "ZUVA: Failed ioctl(DMX_SET_PES_FILTER)\n", 0, 1},
      {"", 0, "ZUVA: Failed pthread_create()\n", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    LogCapture capture;
    Rig rig;
    capture.Clear();
    if (c.op[0] != '\0') rig.io.FailOn(c.op, c.request);
    rig.filter.SetThreadCreator(c.op[0] == '\0' ? &RefuseThread : &NoThread);
    EXPECT_FALSE(rig.filter.Start(0x100, &rig.decoder, 0));
    EXPECT_EQ(capture.Text(), "ZUVA: Filter starting: 0x100\n" + c.log);
    EXPECT_EQ(rig.sim.OpenHandles(), c.handlesAfterStart);
    EXPECT_EQ(rig.filter.Fd() != -1, c.handlesAfterStart == 1);
    EXPECT_EQ(rig.io.Count("close"), c.closesAfterStart);
    EXPECT_FALSE(rig.filter.HasThread());

    capture.Clear();
    rig.filter.Stop();
    EXPECT_EQ(capture.Text(), "ZUVA: Stoping PESFilter thread.\nZUVA: Clean up PES queue.\n");
    EXPECT_EQ(rig.io.Count("ioctl", DMX_STOP), c.handlesAfterStart);
    EXPECT_EQ(rig.io.Count("close"), c.closesAfterStart + c.handlesAfterStart);
    EXPECT_EQ(rig.sim.OpenHandles(), 0);

    // The filter is usable again; a second Start ends the first run.
    rig.io.ClearFaults();
    rig.StartManual(&rig.decoder);
    rig.StartManual(&rig.decoder);
    rig.filter.Stop();
    EXPECT_EQ(rig.sim.OpenHandles(), 0);
  }
}

TEST(PESFilterTiming, WithoutDecoderPacketsAreDroppedAndNothingIsCleared) {
  LogCapture capture;
  Rig rig;
  rig.StartManual(&rig.decoder);
  rig.decoder.ScriptDurations({5000});
  rig.demux.SetSTC(1000000);
  rig.Queue(1000000);
  rig.filter.ReaderPass();
  ASSERT_EQ(rig.filter.ClearDeadline(), 1450000);
  rig.filter.Stop();

  rig.StartManual(nullptr);
  rig.Queue(1000);
  capture.Clear();
  rig.demux.SetSTC(1500000);
  rig.filter.ReaderPass();  // drops the packet; the deadline passes silently
  EXPECT_EQ(rig.filter.QueuedPackets(), 0u);
  EXPECT_EQ(rig.filter.ClearDeadline(), 0);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(rig.decoder.PacketCount(), 1u);
  EXPECT_EQ(rig.decoder.ClearCount(), 0u);
}

}  // namespace
