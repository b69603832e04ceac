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

#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

LinuxDvbIO::LinuxDvbIO(DeviceIO* inner) : inner_(inner) {}

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
  return demuxFds_.size();
}

bool LinuxDvbIO::IsDemux(int fd) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return demuxFds_.count(fd) != 0;
}

int LinuxDvbIO::Open(const char* path, int flags) {
  if (path == nullptr) return Fail(EFAULT);
  const std::string mapped = MapPath(path);
  const int fd = inner_->Open(mapped.c_str(), flags);
  if (fd >= 0 && IsDemuxPath(mapped)) {
    std::lock_guard<std::mutex> lock(mutex_);
    demuxFds_.insert(fd);
  }
  return fd;
}

int LinuxDvbIO::Close(int fd) {
  // Forget the handle before the number is released: once closed, the next
  // open anywhere in the process may be handed the same number.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    demuxFds_.erase(fd);
  }
  return inner_->Close(fd);
}

ssize_t LinuxDvbIO::Read(int fd, void* buffer, size_t count) {
  return inner_->Read(fd, buffer, count);
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
  return inner_->Ioctl(fd, DMX_SET_PES_FILTER, &out);
}

int LinuxDvbIO::GetSTC(int fd, void* arg) {
  if (arg == nullptr) return Fail(EFAULT);
  STCRequest request;
  std::memcpy(&request, arg, sizeof request);

  dmx_stc stc;
  std::memset(&stc, 0, sizeof stc);
  stc.num = request.num;
  stc.base = request.base;
  const int result = inner_->Ioctl(fd, DMX_GET_STC, &stc);
  if (result < 0) return result;

  // The daemon counts the clock in 90 kHz ticks, as the box's driver delivers
  // it. A standard driver may count faster and names the divisor in `base`;
  // dividing here keeps presentation times and the clock in the same units.
  request.stc = stc.base > 1 ? stc.stc / stc.base : stc.stc;
  request.base = 1;
  std::memcpy(arg, &request, sizeof request);
  return result;
}

void* LinuxDvbIO::Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return inner_->Mmap(addr, length, prot, flags, fd, offset);
}

int LinuxDvbIO::Munmap(void* addr, size_t length) { return inner_->Munmap(addr, length); }
