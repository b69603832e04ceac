// How late the PES filter hands the broadcast sample's teletext packets to a
// decoder, and what its reader thread costs in CPU, on the simulated
// demultiplexer playing the recording on a scaled clock.
//
// Each run is one whole replay, so every benchmark runs one iteration; the
// figures are the counters, not the iteration time:
//
//   late_med_ms, late_p99_ms, late_max_ms
//       STC when the decoder got the packet minus the packet's PTS, in
//       milliseconds of stream time (median and 99th percentile by nearest
//       rank). At speed 20 one real millisecond of scheduling delay is 20 ms
//       of stream time.
//   packets, early, disordered
//       packets delivered; of those, delivered while the STC was still before
//       their PTS, and delivered with a PTS not above the one before.
//   cpu_ms_per_s
//       CPU time of the reader thread (its own CPU clock) per second of stream
//       between Start and the end of the run.
//
// Arguments: replay speed, whether the filter is on the teletext PID (1) or
// on a PID the recording does not carry (0, the idle loop), and the seconds
// of stream to play (0: the whole recording plus one second, so that the
// last packets, which arrive ahead of their time, are due before the end).

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"
#include "support/recording_decoder.h"

namespace {

constexpr char kSample[] = ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.ts";
constexpr int kTeletextPid = 0x42C;
// The sample holds only the PAT, the PMT and the teletext PID.
constexpr int kAbsentPid = 0x1FF0;
constexpr int64_t kTicksPerMilli = 90;

// The reader thread's handle, taken as the filter creates it, so its CPU
// clock can be read from the benchmark's thread. Written and read only on
// the thread that calls Start.
pthread_t g_reader;

int CaptureReaderThread(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg) {
  const int rc = pthread_create(thread, attr, entry, arg);
  if (rc == 0) g_reader = *thread;
  return rc;
}

// CPU time the thread has used, in milliseconds; -1 when it cannot be read.
double ThreadCpuMillis(pthread_t thread) {
  clockid_t id;
  if (pthread_getcpuclockid(thread, &id) != 0) return -1;
  timespec ts{};
  if (clock_gettime(id, &ts) != 0) return -1;
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Nearest-rank percentile of sorted values; q in (0, 1].
double Percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

struct Run {
  std::string error;
  std::vector<double> lateMs;
  int early = 0;
  int disordered = 0;
  double cpuMs = 0;
  double streamSeconds = 0;
};

Run Play(double speed, int pid, double seconds) {
  Run run;
  ScaledClock clock(speed);
  SimDemux demux(&clock);
  if (!demux.Load(kSample, &run.error)) return run;

  SimDeviceIO io;
  Platform platform;
  platform.io = &io;
  platform.clock = &clock;
  platform.paths = Paths::Under("/nonexistent/zuva-pes-timing-bench");
  io.Attach(platform.paths.demux, &demux);

  RecordingDecoder decoder;
  decoder.SetKeepBytes(false);
  decoder.SetStcSource([&demux] { return demux.STC(); });

  LogCapture quiet;
  PESFilter filter(platform);
  filter.SetThreadCreator(&CaptureReaderThread);
  if (!filter.Start(pid, &decoder, 0)) {
    run.error = "the PES filter did not start";
    return run;
  }
  const int64_t startMicros = demux.ReplayMicros();
  const double cpuStart = ThreadCpuMillis(g_reader);

  const int64_t span = seconds > 0 ? static_cast<int64_t>(seconds * 1e6)
                                   : demux.DurationMicros() - startMicros + 1000000;
  // Wait in real time, in short steps so the end is not overshot by much.
  for (;;) {
    const int64_t left = startMicros + span - demux.ReplayMicros();
    if (left <= 0) break;
    const auto step = std::chrono::microseconds(
        std::min<int64_t>(static_cast<int64_t>(static_cast<double>(left) / speed), 50000));
    std::this_thread::sleep_for(step + std::chrono::microseconds(1));
  }

  const double cpuEnd = ThreadCpuMillis(g_reader);
  const int64_t endMicros = demux.ReplayMicros();
  filter.Stop();
  if (cpuStart < 0 || cpuEnd < 0) {
    run.error = "the reader thread's CPU clock cannot be read";
    return run;
  }
  run.cpuMs = cpuEnd - cpuStart;
  run.streamSeconds = static_cast<double>(endMicros - startMicros) / 1e6;

  int64_t lastPts = -1;
  for (const RecordingDecoder::Packet& p : decoder.Packets()) {
    const int64_t late = p.stc - p.pts;
    if (late < 0) ++run.early;
    if (p.pts <= lastPts) ++run.disordered;
    lastPts = p.pts;
    run.lateMs.push_back(static_cast<double>(late) / kTicksPerMilli);
  }
  return run;
}

void BM_PESTiming(benchmark::State& state) {
  const double speed = static_cast<double>(state.range(0));
  const bool flowing = state.range(1) != 0;
  const double seconds = static_cast<double>(state.range(2));
  Run run;
  for (auto _ : state) {
    run = Play(speed, flowing ? kTeletextPid : kAbsentPid, seconds);
  }
  if (!run.error.empty()) {
    state.SkipWithError(run.error.c_str());
    return;
  }
  if (flowing && run.lateMs.empty()) {
    state.SkipWithError("no packet reached the decoder");
    return;
  }
  std::vector<double> sorted = run.lateMs;
  std::sort(sorted.begin(), sorted.end());
  if (flowing) {
    state.counters["late_med_ms"] = Percentile(sorted, 0.5);
    state.counters["late_p99_ms"] = Percentile(sorted, 0.99);
    state.counters["late_max_ms"] = sorted.back();
    state.counters["early"] = run.early;
    state.counters["disordered"] = run.disordered;
  }
  state.counters["packets"] = static_cast<double>(run.lateMs.size());
  state.counters["stream_s"] = run.streamSeconds;
  state.counters["cpu_ms_per_s"] = run.cpuMs / run.streamSeconds;
}

// Speed 1 plays the first 18 s of stream (and 10 s idle), speed 20 the whole
// recording: under a minute in all.
BENCHMARK(BM_PESTiming)
    ->ArgNames({"speed", "flowing", "seconds"})
    ->Args({1, 1, 18})
    ->Args({20, 1, 0})
    ->Args({1, 0, 10})
    ->Args({20, 0, 0})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
