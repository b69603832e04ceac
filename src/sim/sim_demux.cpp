#include "sim/sim_demux.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

#include "common/crc32.h"
#include "platform/box_dmx.h"
#include "sim/section_assembler.h"

namespace {

constexpr int64_t kClockMask = (int64_t{1} << 33) - 1;

class DemuxHandle : public SimHandle {
 public:
  DemuxHandle(SimDemux* demux, bool nonBlocking)
      : demux_(demux), nonBlocking_(nonBlocking), capacity_(demux->Options().defaultBufferSize) {}

  ssize_t Read(void* buffer, size_t count) override;
  int Ioctl(unsigned long request, void* arg) override;

 private:
  enum class Mode { kNone, kSection, kPES };

  // Resets the filter state and places the cursor at the data arriving now.
  void Arm(Mode mode, uint16_t pid, bool start);
  void DiscardData();
  // Takes in every packet of the PID that has arrived by replay time `now`.
  void Advance(int64_t now);
  void OnSection(const uint8_t* section, size_t length, int64_t now);
  void OnPESPacket(const uint8_t* packet);
  // Copies out buffered data; -1 when there is none.
  ssize_t TakeData(void* buffer, size_t count);

  SimDemux* demux_;
  const bool nonBlocking_;
  std::mutex mutex_;

  Mode mode_ = Mode::kNone;
  bool started_ = false;
  uint16_t pid_ = 0;
  size_t cursor_ = 0;  // next packet of the recording to look at
  // Where the arrivals and the system time clock last stood.
  SimDemux::ArrivalWindow arrivals_;
  SimDemux::ArrivalWindow stcArrivals_;
  size_t capacity_;
  TSRecording::Window window_;

  // Section filter.
  SectionFilterParams filter_{};
  SectionAssembler assembler_;
  std::deque<std::vector<uint8_t>> sections_;
  size_t sectionBytes_ = 0;
  int64_t deadline_ = -1;  // replay microseconds, -1 without time-out
  bool timedOut_ = false;

  // PES filter.
  std::deque<uint8_t> bytes_;
  bool synced_ = false;
};

void DemuxHandle::DiscardData() {
  sections_.clear();
  sectionBytes_ = 0;
  bytes_.clear();
  bytes_.shrink_to_fit();
}

void DemuxHandle::Arm(Mode mode, uint16_t pid, bool start) {
  DiscardData();
  mode_ = mode;
  pid_ = pid;
  started_ = start;
  timedOut_ = false;
  deadline_ = -1;
  synced_ = false;
  assembler_.Reset();
  // The first filter starts the replay: a tune lets nothing of the recording
  // pass before the daemon can listen.
  if (start) demux_->Start();
  cursor_ = demux_->ArrivedBefore(demux_->ReplayMicros());
}

void DemuxHandle::Advance(int64_t now) {
  if (!started_) return;
  const size_t ready = demux_->ReadyCount(now, arrivals_);
  while (started_ && cursor_ < ready) {
    // A stretch of packets in place at a time: most are not the filter's.
    size_t n = 0;
    const uint8_t* packet = demux_->Recording().PacketsIn(cursor_, ready - cursor_, window_, &n);
    if (packet == nullptr) {
      ++cursor_;  // cut short since the load: nothing more to see here
      break;
    }
    const uint8_t* const end = packet + n * TSRecording::kPacketSize;
    for (; started_ && packet < end; packet += TSRecording::kPacketSize) {
      // Most packets are not the filter's: they are passed over in a loop
      // of their own.
      const uint8_t* const from = packet;
      for (const uint16_t pid = pid_; packet < end && PacketPid(packet) != pid;) {
        packet += TSRecording::kPacketSize;
      }
      cursor_ += static_cast<size_t>(packet - from) / TSRecording::kPacketSize;
      if (packet == end) break;
      ++cursor_;
      if (mode_ == Mode::kSection) {
        assembler_.Push(packet, [&](const uint8_t* section, size_t length) {
          OnSection(section, length, now);
        });
      } else {
        OnPESPacket(packet);
      }
    }
  }
}

void DemuxHandle::OnSection(const uint8_t* section, size_t length, int64_t now) {
  if (!started_) return;  // a one-shot filter takes no second section from the same packet
  for (size_t k = 0; k < 16; ++k) {
    const uint8_t mask = filter_.mask[k];
    if (mask == 0) continue;
    const size_t at = k == 0 ? 0 : k + 2;  // the two length bytes are not filtered
    if (at >= length || (section[at] & mask) != (filter_.filter[k] & mask)) return;
  }
  if ((filter_.flags & 1) && Crc32Mpeg(section, length) != 0) return;
  if (sectionBytes_ + length > capacity_) return;  // buffer full: the section is lost
  sections_.emplace_back(section, section + length);
  sectionBytes_ += length;
  if (filter_.flags & 2) {
    started_ = false;
    deadline_ = -1;
  } else if (filter_.timeout != 0) {
    deadline_ = now + static_cast<int64_t>(filter_.timeout) * 1000;
  }
}

void DemuxHandle::OnPESPacket(const uint8_t* packet) {
  if ((packet[1] & 0x80) != 0 || (packet[3] & 0xC0) != 0) return;  // damaged or scrambled
  size_t offset = 0;
  size_t size = 0;
  if (!PacketPayload(packet, &offset, &size)) return;
  if (!synced_) {
    if ((packet[1] & 0x40) == 0) return;
    synced_ = true;
  }
  const size_t room = capacity_ > bytes_.size() ? capacity_ - bytes_.size() : 0;
  const size_t take = std::min(room, size);
  bytes_.insert(bytes_.end(), packet + offset, packet + offset + take);
}

ssize_t DemuxHandle::TakeData(void* buffer, size_t count) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (mode_ == Mode::kSection) {
    if (sections_.empty()) return -1;
    std::vector<uint8_t>& section = sections_.front();
    const size_t n = std::min(count, section.size());
    std::memcpy(out, section.data(), n);
    sectionBytes_ -= section.size();
    sections_.pop_front();
    return static_cast<ssize_t>(n);
  }
  if (bytes_.empty()) return -1;
  const size_t n = std::min(count, bytes_.size());
  std::copy(bytes_.begin(), bytes_.begin() + static_cast<long>(n), out);
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(n));
  return static_cast<ssize_t>(n);
}

ssize_t DemuxHandle::Read(void* buffer, size_t count) {
  if (buffer == nullptr && count > 0) {
    errno = EFAULT;
    return -1;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (mode_ == Mode::kNone) {
        errno = EINVAL;
        return -1;
      }
      if (count == 0) return 0;
      const int64_t now = demux_->ReplayMicros();
      Advance(now);
      const ssize_t n = TakeData(buffer, count);
      if (n >= 0) return n;
      if (timedOut_ || (started_ && deadline_ >= 0 && now >= deadline_)) {
        timedOut_ = true;
        started_ = false;
        errno = ETIMEDOUT;
        return -1;
      }
      if (!started_) {
        errno = EINVAL;  // nothing buffered and nothing can arrive
        return -1;
      }
      if (nonBlocking_) {
        errno = EAGAIN;
        return -1;
      }
      // At the end of the recording nothing more arrives; only a pending
      // time-out is still worth waiting for.
      if (demux_->Finished() && deadline_ < 0) return 0;
    }
    demux_->GetClock()->Sleep(demux_->Options().pollMicros);
  }
}

int DemuxHandle::Ioctl(unsigned long request, void* arg) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (request) {
    case DMX_SET_FILTER: {
      if (arg == nullptr) {
        errno = EFAULT;
        return -1;
      }
      SectionFilterParams params;
      std::memcpy(&params, arg, sizeof params);
      if (params.pid > 0x1FFF) {
        errno = EINVAL;
        return -1;
      }
      filter_ = params;
      Arm(Mode::kSection, params.pid, (params.flags & 4) != 0);
      if (started_ && params.timeout != 0) {
        deadline_ = demux_->ReplayMicros() + static_cast<int64_t>(params.timeout) * 1000;
      }
      return 0;
    }
    case DMX_SET_PES_FILTER: {
      if (arg == nullptr) {
        errno = EFAULT;
        return -1;
      }
      PESFilterParams params;
      std::memcpy(&params, arg, sizeof params);
      if (params.pid > 0x1FFF || params.output != 1) {
        errno = EINVAL;
        return -1;
      }
      Arm(Mode::kPES, params.pid, (params.flags & 4) != 0);
      return 0;
    }
    case DMX_SET_BUFFERSIZE: {
      const size_t size = static_cast<size_t>(reinterpret_cast<uintptr_t>(arg));
      if (size == 0 || size > demux_->Options().maxBufferSize) {
        errno = EINVAL;
        return -1;
      }
      capacity_ = size;
      DiscardData();
      return 0;
    }
    case DMX_STOP:
      started_ = false;
      timedOut_ = false;
      deadline_ = -1;
      DiscardData();
      return 0;
    case DMX_GET_STC: {
      if (arg == nullptr) {
        errno = EFAULT;
        return -1;
      }
      STCRequest stc;
      std::memcpy(&stc, arg, sizeof stc);
      stc.base = 1;
      stc.stc = static_cast<uint64_t>(demux_->STC(stcArrivals_));
      std::memcpy(arg, &stc, sizeof stc);
      return 0;
    }
    default:
      errno = ENOTTY;
      return -1;
  }
}

}  // namespace

SimDemux::SimDemux(Clock* clock, SimDemuxOptions options) : clock_(clock), options_(options) {
  recording_.SetNominalBitRate(options_.nominalBitRate);
}

bool SimDemux::Load(const std::string& path, std::string* error) {
  Rewind();
  return recording_.Load(path, error);
}

bool SimDemux::LoadBytes(const std::vector<uint8_t>& bytes, std::string* error) {
  Rewind();
  return recording_.LoadBytes(bytes, error);
}

void SimDemux::Start() {
  int64_t expected = kNotStarted;
  origin_.compare_exchange_strong(expected, clock_->NowMicros());
}

void SimDemux::Rewind() { origin_.store(kNotStarted); }

std::shared_ptr<SimHandle> SimDemux::Open(int flags) {
  if (!recording_.Loaded()) {
    errno = ENODEV;  // nothing loaded
    return nullptr;
  }
  return std::make_shared<DemuxHandle>(this, (flags & O_NONBLOCK) != 0);
}

int64_t SimDemux::ReplayMicros() const {
  const int64_t origin = origin_.load();
  return origin == kNotStarted ? 0 : clock_->NowMicros() - origin;
}

int64_t SimDemux::STC() const {
  ArrivalWindow window;
  return STC(window);
}

int64_t SimDemux::STC(ArrivalWindow& window) const {
  // The clock runs `lead` behind the arrivals and reads what the recording's
  // clock read at the packet it has reached, jumping where that one did.
  const int64_t behind = ReplayMicros() - options_.leadMicros;
  const size_t reached = ReadyCount(behind, window);
  const int64_t offset = reached ? recording_.ClockOffset(reached - 1) : 0;
  // A recording whose clock starts near zero would have it read below zero
  // during the first lead of the replay, which as 33 bits is a clock just
  // short of wrapping: every packet would look overdue. It reads 0 instead.
  return std::max<int64_t>(0, recording_.FirstTimestamp() + behind * 9 / 100 + offset) & kClockMask;
}

int64_t SimDemux::ArrivalMicros(size_t index) const {
  // 90 kHz ticks to microseconds.
  return (recording_.Place(index) - recording_.FirstTimestamp()) * 100 / 9;
}

int64_t SimDemux::DurationMicros() const {
  const size_t count = recording_.PacketCount();
  return count ? ArrivalMicros(count - 1) : 0;
}

bool SimDemux::Finished() const {
  if (!Started()) return false;
  bool all = false;
  const size_t hint = finishedHint_.load(std::memory_order_relaxed);
  finishedHint_.store(ReadyCount(ReplayMicros(), hint, &all), std::memory_order_relaxed);
  return all;
}

namespace {
// The number of packets in [0, count) whose arrival passes `arrived`; arrival
// times never decrease along the recording. The search starts at `hint` with
// steps that double, so a hint at or near the answer (where the previous pass
// got to) costs a couple of looks instead of a search of the whole recording.
template <typename Pred>
size_t CountWhile(size_t count, size_t hint, Pred arrived) {
  size_t lo = 0;
  size_t hi = count;
  if (count > 0) {
    hint = std::min(hint, count - 1);
    if (arrived(hint)) {
      lo = hint + 1;
      for (size_t step = 1; lo < hi; step *= 2) {
        const size_t probe = lo + std::min(step, hi - lo) - 1;
        if (!arrived(probe)) {
          hi = probe;
          break;
        }
        lo = probe + 1;
      }
    } else {
      hi = hint;
      for (size_t step = 1; lo < hi; step *= 2) {
        const size_t probe = hi - std::min(step, hi - lo);
        if (arrived(probe)) {
          lo = probe + 1;
          break;
        }
        hi = probe;
      }
    }
  }
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (arrived(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The same over the packets whose place the recording has settled, waiting
// for more of them where the answer may lie beyond; `all` tells whether the
// count is every packet of the recording. The answer never depends on how far
// the recording's scan happens to be.
template <typename Pred>
size_t CountArrived(const TSRecording& recording, size_t hint, Pred arrived, bool* all) {
  for (;;) {
    bool complete = false;
    const size_t placed = recording.PlacedCount(&complete);
    const size_t n = CountWhile(placed, hint, arrived);
    if (n < placed || complete) {
      if (all != nullptr) *all = complete && n == placed;
      recording.Nudge(n);
      return n;
    }
    recording.WaitPlaced(placed);
    hint = n;
  }
}
}  // namespace

size_t SimDemux::ReadyCount(int64_t micros, size_t hint, bool* all) const {
  return CountArrived(
      recording_, hint, [&](size_t i) { return ArrivalMicros(i) <= micros; }, all);
}

size_t SimDemux::ReadyCount(int64_t micros, ArrivalWindow& window) const {
  if (micros >= window.from && micros < window.until) return window.count;
  bool complete = false;
  const size_t placed = recording_.PlacedCount(&complete);
  const size_t before = window.count;
  // Time moves on by steps of the same size, and so does the count: the
  // last step's advance is tried first, which costs two looks.
  if (micros >= window.until && window.from <= window.until && window.stride > 0 &&
      before + window.stride <= placed) {
    const size_t guess = before + window.stride;
    const int64_t from = ArrivalMicros(guess - 1);
    if (guess < placed || complete) {
      const int64_t until = guess < placed ? ArrivalMicros(guess) : INT64_MAX;
      if (from <= micros && micros < until) {
        window.count = guess;
        window.from = from;
        window.until = until;
        return guess;
      }
    }
  }
  const size_t near = micros >= window.until && window.stride > 0 ? before + window.stride : before;
  bool all = false;
  window.count = ReadyCount(micros, near, &all);
  window.stride = window.count > before && window.from <= window.until ? window.count - before : 0;
  window.from = window.count > 0 ? ArrivalMicros(window.count - 1) : INT64_MIN;
  window.until = all ? INT64_MAX : ArrivalMicros(window.count);
  return window.count;
}

size_t SimDemux::ArrivedBefore(int64_t micros) const {
  return CountArrived(
      recording_, 0, [&](size_t i) { return ArrivalMicros(i) < micros; }, nullptr);
}
