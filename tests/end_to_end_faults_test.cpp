// The whole daemon on the simulated devices while the devices misbehave: a
// filter the demultiplexer refuses, a section that never comes, reads that
// fail, a screen that cannot be mapped, a status file that turns to garbage.
// Each time the daemon must log the failure, leave nothing open and, where
// the next cycle can mend it, show the right subtitles at the right time.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#include "sim/replay.h"
#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"
#include "support/fault_io.h"
#include "support/temp_dir.h"
#include "tsgen/demo.h"

namespace {

struct Demo {
  std::string path;
  tsgen::DemoTimes times;
};

const Demo& DemoRecording() {
  static TempDir dir;
  static const Demo demo = [] {
    Demo d;
    d.path = dir.File("demo.ts");
    const std::vector<uint8_t> bytes = tsgen::BuildDemoRecording(20, &d.times);
    std::ofstream(d.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return d;
  }();
  return demo;
}

int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

struct Fault {
  std::string op;
  unsigned long request;
  int n;
  int err;
};

// The user asks for the settings to be read again: the daemon stops
// decoding, reloads and scans the service afresh.
replay::Action ReloadAt(double seconds) {
  return {seconds, [](const std::string& d) { std::ofstream(d + "/.ZUVA_Reload"); }};
}

// Fails reads first..last of the process's device reads (1-based).
std::vector<Fault> FailReads(int first, int last, int err) {
  std::vector<Fault> faults;
  for (int n = first; n <= last; ++n) faults.push_back({"read", 0, n, err});
  return faults;
}

TEST(EndToEndFaults, DaemonRecoversFromDeviceFaultsWithoutLeaks) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::vector<replay::Action> actions;
    std::string logLine;  // the failure as the daemon reports it
    bool subtitlesAfter;  // the next cycles mend it: subtitles follow
  };
  // A filter that cannot be started leaves the daemon idle until the status
  // changes or the settings are reloaded; the reload must then mend it.
  const std::vector<Case> cases = {
      {"PES filter refused once",
       {{"ioctl", DMX_SET_PES_FILTER, 1, EBUSY}},
       {ReloadAt(7.0)},
       "Failed ioctl(DMX_SET_PES_FILTER)\n",
       true},
      {"buffer size refused once",
       {{"ioctl", DMX_SET_BUFFERSIZE, 1, EINVAL}},
       {ReloadAt(7.0)},
       "Failed ioctl(DMX_SET_BUFFERSIZE)\n",
       true},
      {"PAT section filter refused once",
       {{"ioctl", DMX_SET_FILTER, 1, EBUSY}},
       {},
       "Error ioctl(DMX_SET_FILTER PAT)\n",
       true},
      {"PAT read times out once", FailReads(1, 1, ETIMEDOUT), {}, "Error read(PAT)\n", true},
      {"PMT read times out once", FailReads(2, 2, ETIMEDOUT), {}, "Error read(PMT)\n", true},
      // The first reads after the scan are the reader thread's.
      {"PES reads fail for a while", FailReads(3, 60, EIO), {}, "PESFilter thread started...\n",
       true},
      {"screen cannot be mapped", {{"mmap", 0, 1, ENOMEM}}, {}, "Could not mmap(screen memory)\n",
       false},
      {"status file turns to garbage and back",
       {},
       {{4.0,
         [](const std::string& d) {
           std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << "\x01\xff garbage\n\n";
         }},
        {6.0,
         [](const std::string& d) {
           std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << "100\n0\n0\n";
         }},
        {8.0,
         [](const std::string& d) {
           std::ofstream(d + "/ZUVA.tmp", std::ios::trunc) << "100\n0\n0\n0\n2\n0\n256\n";
         }}},
       "Failed to read SID\n",
       true},
  };

  const Demo& demo = DemoRecording();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultIO* faults = nullptr;
    std::unique_ptr<FaultIO> owned;
    replay::Options o;
    o.recording = demo.path;
    o.service = 100;
    o.speed = 0;
    o.logOut = nullptr;
    o.keepLog = true;
    o.actions = c.actions;
    o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
      owned = std::make_unique<FaultIO>(sim);
      faults = owned.get();
      for (const Fault& f : c.faults) faults->FailOn(f.op, f.request, f.n, f.err);
      return faults;
    };
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(r.status, 0) << r.error;
    ASSERT_NE(faults, nullptr);

    EXPECT_GE(CountOf(r.log, "ZUVA: " + c.logLine), 1) << r.log.substr(0, 2000);
    EXPECT_EQ(r.leakedHandles, 0);
    EXPECT_EQ(r.leakedMappings, 0);
    EXPECT_EQ(PESFilter::LivePackets(), 0);
    // Every device the daemon opened through the faulty layer was closed.
    int opened = 0, closed = 0;
    for (const FaultIO::Call& call : faults->Calls()) {
      if (call.op == "open") ++opened;
      if (call.op == "close") ++closed;
    }
    EXPECT_EQ(opened - closed, 0);

    if (!c.subtitlesAfter) continue;
    // The subtitles that are shown are whole, in Swedish, and on time; and
    // the daemon got back to showing them.
    int64_t firstShown = -1;
    for (const replay::SrtEntry& e : r.srt) {
      bool matched = false;
      for (size_t n = 0; n < demo.times.teletextOn.size() && !matched; ++n) {
        if (e.lines != tsgen::DemoSubtitleText(0x888, static_cast<int>(n))) continue;
        matched = true;
        EXPECT_NEAR(static_cast<double>(e.startMs), static_cast<double>(demo.times.teletextOn[n]),
                    300.0)
            << e.lines[0];
      }
      EXPECT_TRUE(matched) << (e.lines.empty() ? "" : e.lines[0]);
      if (matched && firstShown < 0) firstShown = e.startMs;
    }
    ASSERT_GE(firstShown, 0) << replay::FormatSrt(r.srt) << r.log;
    // Shown again after the last thing the user or the plugin did.
    const double mended = c.actions.empty() ? 0 : c.actions.back().atSeconds;
    EXPECT_GT(static_cast<double>(r.srt.back().startMs), mended * 1000) << replay::FormatSrt(r.srt) << r.log;
  }
}

// Passes every call on, but a reader thread's first request stalls for a
// while in real time, as a thread does that the machine is slow to schedule.
class SlowReaderStart : public DeviceIO {
 public:
  explicit SlowReaderStart(DeviceIO* inner) : inner_(inner), main_(std::this_thread::get_id()) {}
  int Open(const char* path, int flags) override { return inner_->Open(path, flags); }
  int Close(int fd) override { return inner_->Close(fd); }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    return inner_->Read(fd, buffer, count);
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    thread_local bool stalled = false;
    if (std::this_thread::get_id() != main_ && !stalled) {
      stalled = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return inner_->Ioctl(fd, request, arg);
  }
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
    return inner_->Mmap(addr, length, prot, flags, fd, offset);
  }
  int Munmap(void* addr, size_t length) override { return inner_->Munmap(addr, length); }

 private:
  DeviceIO* inner_;
  std::thread::id main_;
};

// On the virtual clock time must not run on while a reader thread that was
// just started has not yet read: every subtitle is still shown, on time.
TEST(EndToEndFaults, SlowStartingReaderMissesNoSubtitle) {
  const Demo& demo = DemoRecording();
  std::unique_ptr<SlowReaderStart> slow;
  replay::Options o;
  o.recording = demo.path;
  o.service = 100;
  o.speed = 0;
  o.logOut = nullptr;
  o.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
    slow = std::make_unique<SlowReaderStart>(sim);
    return slow.get();
  };
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  ASSERT_EQ(r.srt.size(), demo.times.teletextOn.size()) << replay::FormatSrt(r.srt);
  for (size_t n = 0; n < r.srt.size(); ++n) {
    EXPECT_EQ(r.srt[n].lines, tsgen::DemoSubtitleText(0x888, static_cast<int>(n)));
    EXPECT_NEAR(static_cast<double>(r.srt[n].startMs),
                static_cast<double>(demo.times.teletextOn[n]), 100.0);
  }
}

// A wrapper that declines leaves the daemon on the simulator itself.
TEST(EndToEndFaults, DeclinedWrapperPlaysOnTheSimulator) {
  replay::Options o;
  o.recording = DemoRecording().path;
  o.service = 100;
  o.speed = 0;
  o.logOut = nullptr;
  int calls = 0;
  o.wrapDevices = [&](SimDeviceIO*) -> DeviceIO* {
    ++calls;
    return nullptr;
  };
  const replay::Result r = replay::Run(o);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(calls, 1);
  ASSERT_FALSE(r.srt.empty());
  EXPECT_EQ(r.srt.front().lines, tsgen::DemoSubtitleText(0x888, 0));
}

}  // namespace
