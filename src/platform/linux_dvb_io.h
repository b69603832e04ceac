#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/pcr_clock.h"

// Device I/O for machines whose demultiplexer speaks the standard Linux DVB
// API instead of the box's own driver. The daemon keeps issuing the box's
// paths, request numbers and records; this layer rewrites them on their way to
// the inner DeviceIO (the C library in production, a recorder in tests):
//
//   /dev/dvb/cardN/<node>M  ->  /dev/dvb/adapterN/<node>M
//   /dev/fb/N               ->  /dev/fbN
//
// and, on handles opened on a demultiplexer node, the box's five demux
// requests to their standard numbers with the standard records. Everything
// else (framebuffer requests, mmap, reads of other files) passes unchanged:
// the framebuffer requests and records are the same on both.
//
// The box's driver keeps a system time clock; a PC adapter's does not, and
// refuses DMX_GET_STC. Then this layer answers from the service's own clock:
// it learns the PCR PID from the PMT sections the daemon reads through it,
// taps that PID's whole TS packets on a demultiplexer handle of its own and
// runs a PcrClock on them. The tap is read, without blocking, when the clock
// is asked (the reader thread asks on every pass), so it costs no thread.
// A service without a usable PCR gets a clock that runs far ahead of every
// PTS: its subtitles are shown as they arrive instead of waiting for ever.
class LinuxDvbIO : public DeviceIO {
 public:
  // No PCR for this long: the service has none, or has lost it.
  static constexpr int64_t kPcrTimeoutMicros = 1000000;
  // The tap is read at most this often; the reader thread asks the clock
  // twice a pass.
  static constexpr int64_t kTapReadMicros = 5000;
  // The tap's buffer: the PCR often rides on the video PID, whose packets
  // all come along; this holds some 100 ms of a 10 Mbit/s picture.
  static constexpr int kTapBufferSize = 128 * 1024;
  // Where the clock of a service without PCR starts: above any PTS.
  static constexpr int64_t kFreeRunBase = PcrClock::kWrap;

  // `inner` and `clock` are not owned and must outlive this object.
  explicit LinuxDvbIO(DeviceIO* inner, Clock* clock = RealClock::Instance());
  ~LinuxDvbIO() override;
  LinuxDvbIO(const LinuxDvbIO&) = delete;
  LinuxDvbIO& operator=(const LinuxDvbIO&) = delete;

  int Open(const char* path, int flags) override;
  int Close(int fd) override;
  ssize_t Read(int fd, void* buffer, size_t count) override;
  // Box demux requests are translated; a record request with a null record,
  // or a record value the standard API has no counterpart for, fails with
  // EFAULT or EINVAL before anything reaches the inner I/O.
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
  int Munmap(void* addr, size_t length) override;
  std::string DevicePath(const std::string& path) const override { return MapPath(path); }

  // The standard node for a box device path; any other path comes back as it
  // is.
  static std::string MapPath(const std::string& path);
  // Whether `path` (box or standard spelling) names a demultiplexer node.
  static bool IsDemuxPath(const std::string& path);

  // Number of open handles this layer treats as demultiplexers (its own tap
  // not counted); for tests.
  size_t DemuxHandles() const;

 private:
  struct Demux {
    std::string path;  // the standard node
    bool pmt = false;  // a section filter on the PMT's table id
  };
  // How the clock of a refused DMX_GET_STC is served.
  enum class Source {
    kWaiting,  // the tap is open, no clock yet: the request fails as the driver's did
    kPcr,      // from the PCR
    kFreeRun,  // no usable PCR: ahead of every PTS
  };

  bool IsDemux(int fd) const;
  int SetSectionFilter(int fd, const void* arg);
  int SetPESFilter(int fd, const void* arg);
  int GetSTC(int fd, void* arg);
  // The clock of a refused request on `fd`, at `now`; false while waiting.
  bool ServeClock(int fd, int64_t now, uint64_t& stc);
  bool OpenTap(const std::string& path, int pid, int64_t now);
  void ReadTap(int64_t now);
  void CloseTap();
  void FreeRun(int64_t now);
  void LearnPcrPid(const uint8_t* section, ssize_t size);

  DeviceIO* inner_;
  Clock* clock_;
  // The reader thread reads the clock while the main thread may open and
  // close its own handles, so all of the state below is guarded.
  mutable std::mutex mutex_;
  std::map<int, Demux> demux_;

  // The clock served for the handle `clockFd_`, whose driver refused it.
  int pcrPid_ = -1;  // from the last PMT read; -1 before one
  int clockFd_ = -1;
  Source source_ = Source::kWaiting;
  int tapFd_ = -1;
  int tapPid_ = -1;
  int64_t tapOpened_ = 0;
  int64_t tapRead_ = 0;
  int64_t freeRunFrom_ = 0;
  PcrClock pcr_;
  uint8_t tapBuffer_[188 * 64] = {};
  size_t tapHeld_ = 0;  // bytes of a packet cut by the end of a read
};
