// Start/stop cycles while packets flow and another thread draws. Meant for
// the ThreadSanitizer build, but it checks leaks and the drawing lock in
// every build.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "common/log.h"
#include "display/frame_buffer.h"
#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"
#include "support/recording_decoder.h"
#include "support/scripted_demux.h"
#include "tsgen/pes.h"

namespace {

void DiscardLog(const char*, void*) {}

int ThreadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// True once the process is back to `expected` threads, giving the kernel five
// seconds to reap ended ones. An emulator keeps threads of its own: no count.
bool ThreadCountReturnsTo(int expected) {
#ifndef ZUVA_UNDER_EMULATOR
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ThreadCount() != expected) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
#endif
  (void)expected;
  return true;
}

TEST(PESFilterStress, StartStopWhilePacketsFlowAndAnotherThreadDraws) {
  constexpr int kCycles = 1000;
  LogCapture capture;
  capture.SetSink(&DiscardLog, nullptr);
  // After one thread has come and gone, a sanitizer's helper thread is counted.
  std::thread([] {}).join();
  const int threadsBefore = ThreadCount();
  const int livePacketsBefore = PESFilter::LivePackets();

  ScaledClock clock(20);  // the 10 ms idle sleep lasts 0.5 ms
  ScriptedDemux demux;
  SimDeviceIO sim;
  Platform platform{&sim, &clock, Paths::Under("/nonexistent/zuva-pes-stress")};
  sim.Attach(platform.paths.demux, &demux);

  // An endless byte stream of packets: some with a PTS already due, some
  // without (stamped on arrival, or RecDelay later, which leaves them queued
  // for Stop to throw away), with a little garbage between them. Reads come
  // in odd sizes, so packets and start codes are cut everywhere, and every
  // third read finds nothing, so the idle sleep runs too.
  const std::vector<uint8_t> payload(180, 0x5A);
  std::vector<uint8_t> stream;
  for (const std::vector<uint8_t>& part :
       {tsgen::BuildPES(0xBD, 1000, payload, 0x24), std::vector<uint8_t>{0xFF, 0, 0, 1, 0xC0},
        tsgen::BuildPES(0xBD, -1, payload), tsgen::BuildPES(0xBD, -1, {})}) {
    stream.insert(stream.end(), part.begin(), part.end());
  }
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
  decoder.SetCountOnly(true);
  decoder.SetFrameBuffer(&frameBuffer);
  // A short display time, so clears are due while the cycles run.
  decoder.ScriptDurations({}, 1);

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
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (decoder.PacketCount() == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      ASSERT_GT(decoder.PacketCount(), before) << "nothing delivered in cycle " << cycle;
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
  EXPECT_EQ(demux.CountRequests(DMX_STOP), kCycles);
  EXPECT_TRUE(ThreadCountReturnsTo(threadsBefore));
}

}  // namespace
