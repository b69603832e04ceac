// The box's request numbers are declared as constants named like the kernel
// header's macros (DMX_STOP, DMX_SET_FILTER, ...). The box header therefore
// comes first and its values are copied into local names before the kernel
// header turns those names into macros.
#include "platform/box_dmx.h"

namespace box {
constexpr unsigned long kStop = DMX_STOP;
constexpr unsigned long kSetFilter = DMX_SET_FILTER;
constexpr unsigned long kSetPESFilter = DMX_SET_PES_FILTER;
constexpr unsigned long kSetBufferSize = DMX_SET_BUFFERSIZE;
constexpr unsigned long kGetSTC = DMX_GET_STC;
}  // namespace box

#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/log.h"

#include "platform/linux_dvb_io.h"

namespace {

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// "/dev/dvb/<dir>N/<leaf>" split into N and leaf, for <dir> "card" or
// "adapter"; false for anything else (including further sub-directories).
bool SplitDvbPath(const std::string& path, const std::string& dir, std::string& number,
                  std::string& leaf) {
  const std::string prefix = "/dev/dvb/" + dir;
  if (!StartsWith(path, prefix)) return false;
  const std::string::size_type slash = path.find('/', prefix.size());
  if (slash == std::string::npos) return false;
  number = path.substr(prefix.size(), slash - prefix.size());
  leaf = path.substr(slash + 1);
  return AllDigits(number) && !leaf.empty() && leaf.find('/') == std::string::npos;
}

// Box flag bits to standard ones; false when a bit has no counterpart, so
// that a filter never runs with a meaning the daemon did not ask for.
bool MapFilterFlags(uint32_t boxFlags, uint32_t& out) {
  struct Bit {
    uint32_t box;
    uint32_t standard;
  };
  static const Bit kBits[] = {
      {boxdmx::kCheckCRC, DMX_CHECK_CRC},
      {boxdmx::kOneShot, DMX_ONESHOT},
      {boxdmx::kImmediateStart, DMX_IMMEDIATE_START},
  };
  out = 0;
  for (const Bit& bit : kBits) {
    if (boxFlags & bit.box) {
      out |= bit.standard;
      boxFlags &= ~bit.box;
    }
  }
  return boxFlags == 0;
}

bool MapInput(uint32_t value, dmx_input& out) {
  switch (value) {
    case 0: out = DMX_IN_FRONTEND; return true;
    case 1: out = DMX_IN_DVR; return true;
    default: return false;
  }
}

bool MapOutput(uint32_t value, dmx_output& out) {
  switch (value) {
    case 0: out = DMX_OUT_DECODER; return true;
    case 1: out = DMX_OUT_TAP; return true;
    case 2: out = DMX_OUT_TS_TAP; return true;
    default: return false;
  }
}

// The box numbers its PES types audio, video, teletext, subtitle, PCR,
// other; the standard API counts the first four decoders of each kind and
// moves "other" to the end.
bool MapPESType(uint32_t value, dmx_ts_pes& out) {
  switch (value) {
    case 0: out = DMX_PES_AUDIO0; return true;
    case 1: out = DMX_PES_VIDEO0; return true;
    case 2: out = DMX_PES_TELETEXT0; return true;
    case 3: out = DMX_PES_SUBTITLE0; return true;
    case 4: out = DMX_PES_PCR0; return true;
    case 5: out = DMX_PES_OTHER; return true;
    default: return false;
  }
}

int Fail(int err) {
  errno = err;
  return -1;
}

constexpr size_t kTsPacket = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr uint8_t kPmtTableId = 0x02;
constexpr int kNullPid = 0x1FFF;

}  // namespace

LinuxDvbIO::LinuxDvbIO(DeviceIO* inner, Clock* clock) : inner_(inner), clock_(clock) {}

LinuxDvbIO::~LinuxDvbIO() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseTap();
}

std::string LinuxDvbIO::MapPath(const std::string& path) {
  std::string number;
  std::string leaf;
  if (SplitDvbPath(path, "card", number, leaf)) return "/dev/dvb/adapter" + number + "/" + leaf;
  const std::string fb = "/dev/fb/";
  if (StartsWith(path, fb) && AllDigits(path.substr(fb.size()))) {
    return "/dev/fb" + path.substr(fb.size());
  }
  return path;
}

bool LinuxDvbIO::IsDemuxPath(const std::string& path) {
  std::string number;
  std::string leaf;
  if (!SplitDvbPath(path, "card", number, leaf) && !SplitDvbPath(path, "adapter", number, leaf)) {
    return false;
  }
  return StartsWith(leaf, "demux") && AllDigits(leaf.substr(5));
}

size_t LinuxDvbIO::DemuxHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return demux_.size();
}

bool LinuxDvbIO::IsDemux(int fd) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return demux_.count(fd) != 0;
}

int LinuxDvbIO::Open(const char* path, int flags) {
  if (path == nullptr) return Fail(EFAULT);
  const std::string mapped = MapPath(path);
  const int fd = inner_->Open(mapped.c_str(), flags);
  if (fd >= 0 && IsDemuxPath(mapped)) {
    std::lock_guard<std::mutex> lock(mutex_);
    demux_[fd] = Demux{mapped, false};
  }
  return fd;
}

int LinuxDvbIO::Close(int fd) {
  // Forget the handle before the number is released: once closed, the next
  // open anywhere in the process may be handed the same number.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    demux_.erase(fd);
    if (fd == clockFd_) {
      // The clock lives as long as the handle that asks for it: the next
      // service may bring another PCR PID.
      CloseTap();
      clockFd_ = -1;
    }
  }
  return inner_->Close(fd);
}

ssize_t LinuxDvbIO::Read(int fd, void* buffer, size_t count) {
  const ssize_t got = inner_->Read(fd, buffer, count);
  if (got > 0 && buffer != nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = demux_.find(fd);
    if (it != demux_.end() && it->second.pmt) {
      LearnPcrPid(static_cast<const uint8_t*>(buffer), std::min(got, static_cast<ssize_t>(count)));
    }
  }
  return got;
}

void LinuxDvbIO::LearnPcrPid(const uint8_t* section, ssize_t size) {
  // The header up to the PCR PID, and a length that the bytes read hold.
  if (size < 12 || section[0] != kPmtTableId) return;
  const int length = ((section[1] & 0x0F) << 8) | section[2];
  if (length < 13 || length + 3 > size) return;
  pcrPid_ = ((section[8] & 0x1F) << 8) | section[9];
}

int LinuxDvbIO::Ioctl(int fd, unsigned long request, void* arg) {
  if (!IsDemux(fd)) return inner_->Ioctl(fd, request, arg);
  switch (request) {
    case box::kStop:
      return inner_->Ioctl(fd, DMX_STOP, nullptr);
    case box::kSetFilter:
      return SetSectionFilter(fd, arg);
    case box::kSetPESFilter:
      return SetPESFilter(fd, arg);
    case box::kSetBufferSize:
      // The size travels as the argument itself on both.
      return inner_->Ioctl(fd, DMX_SET_BUFFER_SIZE, arg);
    case box::kGetSTC:
      return GetSTC(fd, arg);
    default:
      return inner_->Ioctl(fd, request, arg);
  }
}

int LinuxDvbIO::SetSectionFilter(int fd, const void* arg) {
  if (arg == nullptr) return Fail(EFAULT);
  SectionFilterParams in;
  std::memcpy(&in, arg, sizeof in);

  dmx_sct_filter_params out;
  // Zeroed as a whole so that padding and the mode bytes (0: the filtered
  // bits must be equal) reach the kernel defined.
  std::memset(&out, 0, sizeof out);
  uint32_t flags = 0;
  if (!MapFilterFlags(in.flags, flags)) return Fail(EINVAL);
  out.pid = in.pid;
  static_assert(sizeof out.filter.filter == sizeof in.filter, "filter bytes");
  static_assert(sizeof out.filter.mask == sizeof in.mask, "mask bytes");
  std::memcpy(out.filter.filter, in.filter, sizeof in.filter);
  std::memcpy(out.filter.mask, in.mask, sizeof in.mask);
  out.timeout = in.timeout;
  out.flags = flags;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = demux_.find(fd);
    if (it != demux_.end()) it->second.pmt = in.filter[0] == kPmtTableId && in.mask[0] == 0xFF;
  }
  return inner_->Ioctl(fd, DMX_SET_FILTER, &out);
}

int LinuxDvbIO::SetPESFilter(int fd, const void* arg) {
  if (arg == nullptr) return Fail(EFAULT);
  PESFilterParams in;
  std::memcpy(&in, arg, sizeof in);

  dmx_pes_filter_params out;
  std::memset(&out, 0, sizeof out);
  uint32_t flags = 0;
  if (!MapInput(in.input, out.input) || !MapOutput(in.output, out.output) ||
      !MapPESType(in.pesType, out.pes_type) || !MapFilterFlags(in.flags, flags)) {
    return Fail(EINVAL);
  }
  out.pid = in.pid;
  out.flags = flags;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = demux_.find(fd);
    if (it != demux_.end()) it->second.pmt = false;
  }
  return inner_->Ioctl(fd, DMX_SET_PES_FILTER, &out);
}

int LinuxDvbIO::GetSTC(int fd, void* arg) {
  if (arg == nullptr) return Fail(EFAULT);
  STCRequest request;
  std::memcpy(&request, arg, sizeof request);

  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    refused = fd == clockFd_;
  }
  int result = 0;
  if (!refused) {
    dmx_stc stc;
    std::memset(&stc, 0, sizeof stc);
    stc.num = request.num;
    stc.base = request.base;
    result = inner_->Ioctl(fd, DMX_GET_STC, &stc);
    // The daemon counts the clock in 90 kHz ticks, as the box's driver
    // delivers it. A standard driver may count faster and names the divisor
    // in `base`; dividing here keeps presentation times and the clock in the
    // same units.
    request.stc = stc.base > 1 ? stc.stc / stc.base : stc.stc;
  }
  if (refused || result < 0) {
    // The driver keeps no clock (every PC adapter's refuses): ours answers.
    const int err = refused ? EINVAL : errno;
    uint64_t stc = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ServeClock(fd, clock_->NowMicros(), stc)) return Fail(err);
    request.stc = stc;
    result = 0;
  }
  request.base = 1;
  std::memcpy(arg, &request, sizeof request);
  return result;
}

bool LinuxDvbIO::ServeClock(int fd, int64_t now, uint64_t& stc) {
  const auto handle = demux_.find(fd);
  if (handle == demux_.end()) return false;  // closed meanwhile
  if (fd != clockFd_ || (tapFd_ >= 0 && tapPid_ != pcrPid_)) {
    // A new handle, or a PMT that named another PCR PID since: start afresh.
    CloseTap();
    pcr_.Reset();
    clockFd_ = fd;
    source_ = Source::kWaiting;
    if (pcrPid_ < 0 || pcrPid_ == kNullPid) {
      log("The demultiplexer keeps no system time clock and the service names no PCR: "
          "subtitles are shown as they arrive\n");
      FreeRun(now);
    } else if (!OpenTap(handle->second.path, pcrPid_, now)) {
      FreeRun(now);
    }
  }
  if (tapFd_ >= 0 && now - tapRead_ >= kTapReadMicros) ReadTap(now);

  const bool pcrFresh = pcr_.Running() && now - pcr_.LastMicros() <= kPcrTimeoutMicros;
  if (pcrFresh && source_ != Source::kPcr) {
    log("The demultiplexer keeps no system time clock: using the PCR on PID 0x%04x\n", tapPid_);
    source_ = Source::kPcr;
  } else if (!pcrFresh && source_ == Source::kPcr) {
    log("PCR on PID 0x%04x lost: subtitles are shown as they arrive\n", tapPid_);
    FreeRun(now);
  } else if (source_ == Source::kWaiting && now - tapOpened_ > kPcrTimeoutMicros) {
    log("No PCR on PID 0x%04x within a second: subtitles are shown as they arrive\n", tapPid_);
    FreeRun(now);
  }
  switch (source_) {
    case Source::kPcr:
      stc = static_cast<uint64_t>(pcr_.Read(now));
      return true;
    case Source::kFreeRun:
      stc = static_cast<uint64_t>(kFreeRunBase + PcrClock::Ticks(now - freeRunFrom_));
      return true;
    case Source::kWaiting:
      break;
  }
  return false;
}

void LinuxDvbIO::FreeRun(int64_t now) {
  source_ = Source::kFreeRun;
  freeRunFrom_ = now;
}

bool LinuxDvbIO::OpenTap(const std::string& path, int pid, int64_t now) {
  const int tap = inner_->Open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (tap < 0) {
    log("Could not open %s for the PCR on PID 0x%04x: %s: subtitles are shown as they arrive\n",
        path.c_str(), pid, strerror(errno));
    return false;
  }
  // A driver that keeps its own buffer size still delivers, only sooner
  // overruns; the next read recovers from that.
  inner_->Ioctl(tap, DMX_SET_BUFFER_SIZE,
                reinterpret_cast<void*>(static_cast<uintptr_t>(kTapBufferSize)));
  dmx_pes_filter_params params;
  std::memset(&params, 0, sizeof params);
  params.pid = static_cast<uint16_t>(pid);
  params.input = DMX_IN_FRONTEND;
  params.output = DMX_OUT_TSDEMUX_TAP;  // whole TS packets: the PCR lives in their header
  params.pes_type = DMX_PES_OTHER;
  params.flags = DMX_IMMEDIATE_START;
  if (inner_->Ioctl(tap, DMX_SET_PES_FILTER, &params) < 0) {
    log("Could not tap the PCR on PID 0x%04x of %s: %s: subtitles are shown as they arrive\n", pid,
        path.c_str(), strerror(errno));
    inner_->Close(tap);
    return false;
  }
  tapFd_ = tap;
  tapPid_ = pid;
  tapOpened_ = now;
  tapRead_ = now - kTapReadMicros;
  tapHeld_ = 0;
  return true;
}

void LinuxDvbIO::ReadTap(int64_t now) {
  tapRead_ = now;
  // A few buffers at most per request, so that a flood cannot hold up the
  // reader thread; what is left waits for the next request.
  for (int round = 0; round < 8; ++round) {
    const size_t room = sizeof tapBuffer_ - tapHeld_;
    const ssize_t got = inner_->Read(tapFd_, tapBuffer_ + tapHeld_, room);
    // Nothing waiting, or an overrun that the driver has already dropped.
    if (got <= 0) return;
    const size_t end = tapHeld_ + std::min(static_cast<size_t>(got), room);
    size_t at = 0;
    while (end - at >= kTsPacket) {
      if (tapBuffer_[at] != kTsSync) {
        ++at;  // out of step: find the next packet
        continue;
      }
      const uint8_t* packet = tapBuffer_ + at;
      int64_t pcr = 0;
      bool discontinuity = false;
      const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
      if (pid == tapPid_ && PacketPcr(packet, pcr, discontinuity)) {
        pcr_.Add(pcr, discontinuity, now);
      }
      at += kTsPacket;
    }
    while (at < end && tapBuffer_[at] != kTsSync) ++at;
    tapHeld_ = end - at;
    std::memmove(tapBuffer_, tapBuffer_ + at, tapHeld_);
    if (static_cast<size_t>(got) < room) return;
  }
}

void LinuxDvbIO::CloseTap() {
  if (tapFd_ < 0) return;
  inner_->Ioctl(tapFd_, DMX_STOP, nullptr);
  inner_->Close(tapFd_);
  tapFd_ = -1;
  tapPid_ = -1;
}

void* LinuxDvbIO::Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return inner_->Mmap(addr, length, prot, flags, fd, offset);
}

int LinuxDvbIO::Munmap(void* addr, size_t length) { return inner_->Munmap(addr, length); }
