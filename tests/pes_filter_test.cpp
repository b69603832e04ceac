#include "stream/pes_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "display/frame_buffer.h"
#include "sim/sim_device_io.h"
#include "support/app_harness.h"
#include "support/bytes.h"
#include "support/fault_io.h"
#include "support/recording_decoder.h"
#include "support/scripted_demux.h"
#include "support/test_clock.h"
#include "tsgen/dvbsub_encoder.h"
#include "tsgen/pes.h"
#include "tsgen/teletext_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Stand in for thread creation: without a thread the test runs the reader
// passes itself.
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

Bytes Part(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

std::vector<Bytes> TeletextPackets(int count, int unitsPerPacket = 7) {
  const std::vector<tsgen::TeletextUnit> units(count * unitsPerPacket, tsgen::StuffingUnit());
  return tsgen::PackTeletextPES(units, 900000, unitsPerPacket);
}

Bytes DvbPacket(int64_t pts, const Bytes& objectPixels = {}) {
  tsgen::dvbsub::DisplaySet set(1);
  set.Page({5, 0, tsgen::dvbsub::kAcquisitionPoint, {{0, 10, 400}}});
  if (!objectPixels.empty())
    set.Raw(tsgen::dvbsub::Segment(tsgen::dvbsub::kObjectData, 1, objectPixels));
  return set.End().Packet(pts);
}

Bytes WithLength(Bytes packet, int length) {
  packet[4] = static_cast<uint8_t>(length >> 8);
  packet[5] = static_cast<uint8_t>(length);
  return packet;
}

// A filter without a thread on a scripted demultiplexer behind a
// fault-injecting layer. The filter is built last and destroyed first.
struct Rig {
  Rig() : filter(platform) {
    sim.Attach(platform.paths.demux, &demux);
    filter.SetThreadCreator(&NoThread);
  }

  // A private_stream_1 packet stamped `pts` with `payload` bytes.
  void Queue(int64_t pts, size_t payload = 2) {
    const Bytes p = tsgen::BuildPES(0xBD, pts, Bytes(payload, 0x20));
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
    std::vector<size_t> queuedAfter;  // cumulative, one per chunk; none: not checked
    std::vector<Bytes> packets;
    int resyncLines = 0;
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
  // `stream`, holding `packets`, in reads of `size` bytes.
  auto inReads = [](std::string name, const Bytes& stream, std::vector<Bytes> packets, size_t size,
                    int resyncLines = 0) {
    Case c{name + ", reads of " + std::to_string(size), {}, {}, std::move(packets), resyncLines};
    for (size_t i = 0; i < stream.size(); i += size) c.chunks.push_back(Part(stream, i, i + size));
    return c;
  };
  cases.push_back(inReads("largest length fits whole", Cat({big, p2}), {big, p2}, 16384));
  // Cuts every start code and header at every byte.
  cases.push_back(inReads("garbage first", Cat({{0x55}, p3, p2}), {p3, p2}, 1));
  // A damaged length field ends its packet where the next one visibly begins,
  // with one line; a long packet that is what it says is kept whole, whatever
  // its data hold.
  const std::vector<Bytes> txt = TeletextPackets(4);
  const std::vector<Bytes> dvbs = {DvbPacket(1000), DvbPacket(2000), DvbPacket(3000)};
  // Object data whose pixel bytes hold start codes: only a walk of the
  // segments tells them from the start of the next packet.
  Bytes pixels = {0x00, 0x01, 0x00, 0x07, 0x00, 0x00};
  for (int i = 0; i < 3000; ++i) pixels.insert(pixels.end(), {0x00, 0x00, 0x01, 0xBD, 0x11});
  const std::vector<Case> damaged = {
      {"teletext length 0xC26A instead of 0x016A", {}, {},
       {WithLength(txt[0], 0xC26A), txt[1], txt[2], txt[3]}, 1},
      {"DVB length far too long", {}, {}, {WithLength(dvbs[0], 0xF000), dvbs[1], dvbs[2]}, 1},
      {"DVB end marker followed by stuffing", {}, {},
       {WithLength(Cat({dvbs[0], {0xFF, 0xFF}}), 0x8000), dvbs[1]}, 1},
      {"true long teletext packets", {}, {}, TeletextPackets(2, 39)},
      {"true long DVB packet with start codes in its pixels", {}, {},
       {DvbPacket(1000, pixels), dvbs[1]}},
  };
  for (const Case& d : damaged) {
    for (size_t size : {size_t{7}, size_t{1000}, size_t{16384}}) {
      cases.push_back(inReads(d.name, Cat(d.packets), d.packets, size, d.resyncLines));
    }
  }

  LogCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.Clear();
    Rig rig;
    ASSERT_TRUE(rig.filter.Start(0x1FF, &rig.decoder, 0));
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      rig.filter.Reassemble(c.chunks[i].data(), static_cast<int>(c.chunks[i].size()));
      if (c.queuedAfter.empty()) continue;
      EXPECT_EQ(rig.filter.QueuedPackets(), c.queuedAfter[i]) << "after chunk " << i;
    }
    rig.demux.SetSTC(int64_t{1} << 34);  // past every PTS
    while (rig.filter.QueuedPackets() > 0) rig.filter.ReleaseDuePacket();
    std::vector<Bytes> got;
    for (const RecordingDecoder::Packet& p : rig.decoder.Packets()) got.push_back(p.bytes);
    EXPECT_EQ(got, c.packets);
    EXPECT_EQ(CountOf(capture.Text(), "disagrees with the stream"), c.resyncLines);
  }
}

// Release at STC >= stamp, one packet per pass, in arrival order; a PTS far
// ahead of the clock, or overtaken by a due packet, holds nothing back.
TEST(PESFilterTiming, ReleaseRule) {
  constexpr int64_t kStc = 1000000;
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
      {"61 s ahead goes at once", {kStc + 61 * 90000}, {{kStc, {kStc + 61 * 90000}}}},
      {"59 s ahead waits", {kStc + 59 * 90000}, {{kStc, {}}}},
      {"a pre-wrap PTS after the clock wrapped", {0x1FFFFFF00LL, kStc - 5},
       {{kStc, {0x1FFFFFF00LL}}, {kStc, {0x1FFFFFF00LL, kStc - 5}}}},
      {"overtaken by a due packet", {kStc + 30 * 90000, kStc - 5},
       {{kStc, {kStc + 30 * 90000}}, {kStc, {kStc + 30 * 90000, kStc - 5}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    Rig rig;
    ASSERT_TRUE(rig.filter.Start(0x1FF, &rig.decoder, 0));
    for (int64_t pts : c.queued) rig.Queue(pts);
    for (const Step& s : c.steps) {
      SCOPED_TRACE(s.stc);
      rig.io.ClearFaults();
      if (s.stc < 0) rig.io.FailOn("ioctl", DMX_GET_STC, 0);
      rig.demux.SetSTC(s.stc);
      rig.filter.ReaderPass();
      std::vector<int64_t> seen;
      for (const auto& p : rig.decoder.Packets()) seen.push_back(p.pts);
      EXPECT_EQ(seen, s.released);
    }
  }
}

// The queue holds at most its bounds, dropping the oldest packets with one line.
TEST(PESFilterTiming, QueueIsBounded) {
  struct Case {
    int packets;
    size_t payload;
    size_t most;  // packets queued at most
  };
  for (const Case& c : {Case{600, 10, 512}, Case{80, 60000, 34}}) {
    SCOPED_TRACE(c.payload);
    LogCapture capture;
    Rig rig;
    ASSERT_TRUE(rig.filter.Start(0x1FF, &rig.decoder, 0));
    size_t most = 0;
    for (int i = 0; i < c.packets; ++i) {
      rig.Queue(90000, c.payload);
      most = std::max(most, rig.filter.QueuedPackets());
      EXPECT_LE(rig.filter.QueuedBytes(), PESFilter::kMaxQueuedBytes);
    }
    EXPECT_EQ(most, c.most);
    EXPECT_EQ(CountOf(capture.Text(), "PES queue full"), 1);
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
      {"open", 0, "ZUVA: Failed open(DMX)\nZUVA: /nonexistent/zuva-pes-test/demux0: Input/output error\n", 0, 0},
      {"ioctl", DMX_SET_PES_FILTER, "ZUVA: Failed ioctl(DMX_SET_PES_FILTER)\n", 0, 1},
      {"thread", 0, "ZUVA: Failed pthread_create()\n", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    LogCapture capture;
    Rig rig;
    capture.Clear();
    rig.io.FailOn(c.op, c.request);  // "thread" names no device call
    if (std::string(c.op) == "thread") rig.filter.SetThreadCreator(&RefuseThread);
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
    rig.filter.SetThreadCreator(&NoThread);
    ASSERT_TRUE(rig.filter.Start(0x1FF, &rig.decoder, 0));
    ASSERT_TRUE(rig.filter.Start(0x1FF, &rig.decoder, 0));
    rig.filter.Stop();
    EXPECT_EQ(rig.sim.OpenHandles(), 0);
  }
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

int ThreadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// Start/stop cycles while packets flow and another thread draws. Meant for
// the ThreadSanitizer build, but it checks leaks and the drawing lock in
// every build.
TEST(PESFilterStress, StartStopWhilePacketsFlowAndAnotherThreadDraws) {
  constexpr int kCycles = 1000;
  LogCapture capture;
  capture.SetSink([](const char*, void*) {}, nullptr);
  // After one thread has come and gone, a sanitizer's helper thread is counted.
  std::thread([] {}).join();
  [[maybe_unused]] const int threadsBefore = ThreadCount();  // not checked under an emulator
  const int livePacketsBefore = PESFilter::LivePackets();

  ScaledClock clock(20);  // the 10 ms idle sleep lasts 0.5 ms
  ScriptedDemux demux;
  SimDeviceIO sim;
  FaultIO io{&sim};  // counts the requests
  Platform platform{&io, &clock, Paths::Under("/nonexistent/zuva-pes-stress")};
  sim.Attach(platform.paths.demux, &demux);

  // An endless byte stream of packets: some with a PTS already due, some
  // without (stamped on arrival, or RecDelay later, which leaves them queued
  // for Stop to throw away), with a little garbage between them. Reads come
  // in odd sizes, so packets and start codes are cut everywhere, and every
  // third read finds nothing, so the idle sleep runs too.
  const std::vector<uint8_t> payload(180, 0x5A);
  const Bytes stream = Cat({tsgen::BuildPES(0xBD, 1000, payload, 0x24), {0xFF, 0, 0, 1, 0xC0},
                            tsgen::BuildPES(0xBD, -1, payload), tsgen::BuildPES(0xBD, -1, {})});
  size_t pos = 0;
  uint64_t reads = 0;
  demux.SetSource([&](uint8_t* out, size_t count) -> size_t {
    if (++reads % 3 == 0) return 0;
    const size_t want = std::min(count, static_cast<size_t>(37 + (reads * 131) % 700));
    for (size_t i = 0; i < want; ++i, pos = (pos + 1) % stream.size()) out[i] = stream[pos];
    return want;
  });
  demux.SetSTC(100000);

  FrameBuffer frameBuffer(platform);  // never initialised: only its lock is used
  RecordingDecoder decoder;
  decoder.SetKeepBytes(false);
  decoder.SetFrameBuffer(&frameBuffer);
  // A short display time, so clears are due while the cycles run.
  decoder.SetDurationMillis(1);

  std::atomic<bool> done{false};
  std::atomic<int64_t> draws{0};
  std::thread painter([&] {
    while (!done.load()) {
      frameBuffer.Lock();
      ++decoder.SharedCanvas();
      frameBuffer.Unlock();
      draws.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });

  PESFilter filter(platform);
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    ASSERT_TRUE(filter.Start(0x100 + cycle % 32, &decoder, cycle % 4 == 0 ? 1 : 0));
    if (cycle % 4 != 0) {
      // Let the clock move and wait for something to arrive, so that Stop
      // meets a thread in the middle of its work; RecDelay cycles are stopped
      // at once, often before the thread has read anything.
      demux.SetSTC(demux.STC() + 900);
      const size_t before = decoder.PacketCount();
      ASSERT_TRUE(WaitFor([&] { return decoder.PacketCount() > before; }, std::chrono::seconds(2)))
          << "nothing delivered in cycle " << cycle;
    }
    filter.Stop();
    SCOPED_TRACE(cycle);
    ASSERT_FALSE(filter.HasThread());
    ASSERT_EQ(sim.OpenHandles(), 0);
    ASSERT_EQ(filter.QueuedPackets(), 0u);
    ASSERT_EQ(PESFilter::LivePackets(), livePacketsBefore);
    ASSERT_EQ(decoder.InsideLock(), 0);
  }
  done.store(true);
  painter.join();

  // The lock is free: taking it here must not block.
  frameBuffer.Lock();
  const int64_t canvas = decoder.SharedCanvas();
  frameBuffer.Unlock();
  EXPECT_EQ(canvas, draws.load() + static_cast<int64_t>(decoder.PacketCount() +
                                                        decoder.ClearCount()));
  EXPECT_GE(decoder.PacketCount(), static_cast<size_t>(kCycles / 2));
  EXPECT_GT(decoder.ClearCount(), 0u);
  EXPECT_EQ(io.Count("ioctl", DMX_STOP), kCycles);
  // The kernel gets five seconds to reap ended threads; an emulator keeps
  // threads of its own.
#ifndef ZUVA_UNDER_EMULATOR
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsBefore; }, std::chrono::seconds(5)));
#endif
}

}  // namespace
