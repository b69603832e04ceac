// What the system time clock rebuilt from the PCR costs the PES filter's
// reader thread on a PC adapter, against the same thread without it.
//
// The adapter is made of pipes, so every read is a real system call, and
// DMX_GET_STC goes to the kernel on a pipe, which refuses it as a PC
// adapter's driver does. A feeder thread writes a PCR packet every 40 ms to
// the handle that taps the PCR PID; the subtitle PID carries nothing, so the
// reader thread idles as it does between subtitles. Each run is one stretch
// of real time; the figures are the counters:
//
//   cpu_pct         CPU time of the reader thread per wall time, in percent
//   pass_med_us     work of one pass (from one idle sleep to the next), median
//   pass_max_us     and the longest one
//   stc_ok          the last clock read succeeded (1) or failed (0)
//
// Arguments: with the PCR clock (1) or the bare device layer (0), seconds.

// The box's request numbers first, before the kernel header makes their names
// macros.
#include "stream/pes_filter.h"

namespace box {
constexpr unsigned long kSetFilter = DMX_SET_FILTER;
constexpr unsigned long kGetSTC = DMX_GET_STC;
}  // namespace box

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/linux_dvb_io.h"
#include "platform/platform.h"
#include "support/recording_decoder.h"
#include "tsgen/psi.h"
#include "tsgen/ts.h"

namespace {

constexpr uint16_t kPcrPid = 0x100;

class PipeAdapterIO : public DeviceIO {
 public:
  int Open(const char*, int) override {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    writeEnds_[ends[0]] = ends[1];
    return ends[0];
  }
  int Close(int fd) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writeEnds_.count(fd) == 0) return -1;
    if (tap_ == writeEnds_[fd]) tap_ = -1;
    close(writeEnds_[fd]);
    writeEnds_.erase(fd);
    return close(fd);
  }
  ssize_t Read(int fd, void* buffer, size_t count) override { return read(fd, buffer, count); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request == DMX_SET_FILTER && !pmt_.empty()) {
      return write(writeEnds_[fd], pmt_.data(), pmt_.size()) > 0 ? 0 : -1;
    }
    if (request == DMX_SET_PES_FILTER &&
        static_cast<dmx_pes_filter_params*>(arg)->output == DMX_OUT_TSDEMUX_TAP) {
      tap_ = writeEnds_[fd];
    }
    // The box's and the standard clock request both reach the kernel.
    if (request == DMX_GET_STC || request == box::kGetSTC) return ioctl(fd, DMX_GET_STC, arg);
    return 0;
  }
  void* Mmap(void*, size_t, int, int, int, off_t) override { return MAP_FAILED; }
  int Munmap(void*, size_t) override { return -1; }

  void SetPmt(const std::vector<uint8_t>& pmt) { pmt_ = pmt; }
  void FeedPcr(int64_t pcr) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tap_ < 0) return;
    const std::vector<uint8_t> packet = tsgen::PCRPacket(kPcrPid, pcr, 0);
    if (write(tap_, packet.data(), packet.size()) < 0) return;  // full: the reader is behind
  }

 private:
  std::mutex mutex_;
  std::map<int, int> writeEnds_;
  int tap_ = -1;
  std::vector<uint8_t> pmt_;
};

int64_t ThreadCpuMicros() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Real time that notes, on the reader thread (the only one sleeping on it),
// how long each pass worked and how much CPU the thread used.
class PassClock : public Clock {
 public:
  void Sleep(uint32_t micros) override {
    const int64_t now = RealClock::Instance()->NowMicros();
    const int64_t cpu = ThreadCpuMicros();
    if (firstWall_ == 0) {
      firstWall_ = now;
      firstCpu_ = cpu;
    } else {
      passes_.push_back(now - woke_);
    }
    lastWall_ = now;
    lastCpu_ = cpu;
    RealClock::Instance()->Sleep(micros);
    woke_ = RealClock::Instance()->NowMicros();
  }
  int64_t NowMicros() override { return RealClock::Instance()->NowMicros(); }

  // Read after the reader thread has been joined.
  double CpuPercent() const {
    return lastWall_ > firstWall_ ? 100.0 * static_cast<double>(lastCpu_ - firstCpu_) /
                                        static_cast<double>(lastWall_ - firstWall_)
                                  : 0;
  }
  std::vector<int64_t> Passes() const { return passes_; }

 private:
  int64_t firstWall_ = 0, firstCpu_ = 0, lastWall_ = 0, lastCpu_ = 0, woke_ = 0;
  std::vector<int64_t> passes_;
};

void BM_PcrClock(benchmark::State& state) {
  const bool withClock = state.range(0) != 0;
  const auto seconds = std::chrono::seconds(state.range(1));
  PassClock clock;
  std::vector<int64_t> passes;
  bool stcOk = false;
  for (auto _ : state) {
    PipeAdapterIO pipes;
    pipes.SetPmt(tsgen::BuildPMT(1, kPcrPid, {}, {}));
    LinuxDvbIO standard(&pipes);
    Platform platform;
    platform.io = withClock ? static_cast<DeviceIO*>(&standard) : &pipes;
    platform.clock = &clock;
    LogCapture quiet;
    if (withClock) {
      // The daemon's scan reads the PMT through the layer before the filter starts.
      const int scan = standard.Open("/dev/dvb/card0/demux0", O_RDWR);
      SectionFilterParams filter{};
      filter.filter[0] = 0x02;
      filter.mask[0] = 0xFF;
      standard.Ioctl(scan, box::kSetFilter, &filter);
      uint8_t section[1024];
      standard.Read(scan, section, sizeof section);
      standard.Close(scan);
    }
    RecordingDecoder decoder;
    PESFilter filter(platform);
    if (!filter.Start(0x200, &decoder, 0)) {
      state.SkipWithError("the PES filter did not start");
      return;
    }
    std::atomic<bool> done{false};
    std::thread feeder([&] {
      const auto start = std::chrono::steady_clock::now();
      for (int64_t pcr = 900000; !done.load(); pcr += 3600) {
        pipes.FeedPcr(pcr);
        std::this_thread::sleep_until(start + std::chrono::milliseconds((pcr - 900000) / 90 + 40));
      }
    });
    std::this_thread::sleep_for(seconds);
    const int fd = filter.Fd();
    STCRequest stc{0, 1, 0};
    stcOk = platform.io->Ioctl(fd, box::kGetSTC, &stc) == 0;
    filter.Stop();
    done = true;
    feeder.join();
    passes = clock.Passes();
  }
  if (passes.empty()) {
    state.SkipWithError("the reader thread never idled");
    return;
  }
  std::sort(passes.begin(), passes.end());
  state.counters["cpu_pct"] = clock.CpuPercent();
  state.counters["pass_med_us"] = static_cast<double>(passes[passes.size() / 2]);
  state.counters["pass_max_us"] = static_cast<double>(passes.back());
  state.counters["stc_ok"] = stcOk ? 1 : 0;
}

BENCHMARK(BM_PcrClock)
    ->ArgNames({"pcr_clock", "seconds"})
    ->Args({0, 5})
    ->Args({1, 5})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
