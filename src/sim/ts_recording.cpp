#include "sim/ts_recording.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace {
constexpr int64_t kWrap = int64_t{1} << 33;
constexpr size_t kP = TSRecording::kPacketSize;
// Two clock values agree when the second follows the first by no more than
// twice what the recording's rate predicts, give or take this much: more
// than PCR spacing and B-frame reordering of PTS allow, far less than any
// bit error in the upper bits of a time stamp.
constexpr int64_t kSlack = 18000;  // 200 ms
// The time line is stored with this error at most (1 ms).
constexpr int64_t kTolerance = 90;
// Clock steps taken for the recording's rate; longer ones are gaps.
constexpr int64_t kLongestStep = 10 * 90000;

struct Stamp {
  size_t index;
  int64_t value;
  bool discontinuity;
};

// The step from a to b on the 33-bit clock, between -2^32 and 2^32.
int64_t Step(int64_t a, int64_t b) {
  int64_t d = (b - a) % kWrap;
  if (d < 0) d += kWrap;
  if (d >= kWrap / 2) d -= kWrap;
  return d;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

// The typical clock step, in ticks per packet and in ticks, from an evenly
// thinned sample of the steps that look like a running clock, so that its
// size does not grow with the recording.
class StepSample {
 public:
  void Add(const Stamp& a, const Stamp& b) {
    const int64_t d = Step(a.value, b.value);
    if (d <= 0 || d > kLongestStep || seen_++ % stride_ != 0) return;
    rates_.push_back(static_cast<double>(d) / static_cast<double>(b.index - a.index));
    steps_.push_back(static_cast<double>(d));
    if (rates_.size() < kLimit) return;
    for (size_t k = 0; k < kLimit / 2; ++k) {
      rates_[k] = rates_[2 * k];
      steps_[k] = steps_[2 * k];
    }
    rates_.resize(kLimit / 2);
    steps_.resize(kLimit / 2);
    stride_ *= 2;
  }
  double TicksPerPacket() const { return Median(rates_); }
  double Interval() const { return Median(steps_); }

 private:
  static constexpr size_t kLimit = 8192;
  std::vector<double> rates_;
  std::vector<double> steps_;
  uint64_t seen_ = 0;
  uint64_t stride_ = 1;
};

// Keeps only the anchors needed to rebuild every other one within
// kTolerance by interpolation, and both sides of every discontinuity: a
// steady clock shrinks to its two ends.
class Simplifier {
 public:
  void Add(const TSRecording::Anchor& a) {
    if (out_.empty()) {
      out_.push_back(a);
      base_ = prev_ = a;
      return;
    }
    if (a.offset != base_.offset) {
      if (prev_.index != base_.index) out_.push_back(prev_);
      out_.push_back(a);
      base_ = prev_ = a;
      Reset();
      return;
    }
    if (Slope(a, 0) < lo_ || Slope(a, 0) > hi_) {
      base_ = prev_;
      out_.push_back(base_);
      Reset();
    }
    lo_ = std::max(lo_, Slope(a, -kTolerance));
    hi_ = std::min(hi_, Slope(a, kTolerance));
    prev_ = a;
  }
  std::vector<TSRecording::Anchor> Finish() {
    if (!out_.empty() && out_.back().index != prev_.index) out_.push_back(prev_);
    out_.shrink_to_fit();
    return std::move(out_);
  }

 private:
  double Slope(const TSRecording::Anchor& a, int64_t offset) const {
    return static_cast<double>(a.place + offset - base_.place) /
           static_cast<double>(a.index - base_.index);
  }
  void Reset() {
    lo_ = -std::numeric_limits<double>::infinity();
    hi_ = std::numeric_limits<double>::infinity();
  }

  std::vector<TSRecording::Anchor> out_;
  TSRecording::Anchor base_{};
  TSRecording::Anchor prev_{};
  double lo_ = -std::numeric_limits<double>::infinity();
  double hi_ = std::numeric_limits<double>::infinity();
};

// Places the clock values, as they come, on one unbroken time line: values
// that disagree with their neighbours are left out, confirmed jumps are
// bridged. A value is decided once the one after it is known.
class TimeLine {
 public:
  TimeLine(double rate, Simplifier* out) : rate_(rate), out_(out) {}

  void Add(const Stamp& s) {
    if (!started_) {
      // The time line starts at the first value its successor agrees with.
      if (!first_) {
        first_ = true;
        previous_ = s;
        return;
      }
      if (!Agree(previous_, s)) {
        ++ignored;
        previous_ = s;
        return;
      }
      Begin(previous_);
    } else {
      Decide(pending_, &s);
    }
    pending_ = s;
  }

  void Finish() {
    if (started_) {
      Decide(pending_, nullptr);
    } else if (first_) {
      Begin(previous_);  // nothing agrees: the last value stands alone
    }
  }

  int ignored = 0;
  int discontinuities = 0;

 private:
  int64_t Expected(size_t a, size_t b) const {
    return static_cast<int64_t>(rate_ * static_cast<double>(b - a));
  }
  bool Agree(const Stamp& a, const Stamp& b) const {
    const int64_t d = Step(a.value, b.value);
    return d >= -kSlack && d <= 2 * Expected(a.index, b.index) + kSlack;
  }
  void Begin(const Stamp& s) {
    started_ = true;
    good_ = s;
    place_ = s.value;
    out_->Add({s.index, place_, offset_});
  }
  void Decide(const Stamp& s, const Stamp* next) {
    if (Agree(good_, s)) {
      const int64_t d = Step(good_.value, s.value);
      if (d < 0) return;  // reordered: the clock holds
      place_ += d;
    } else if (s.discontinuity || (next && Agree(s, *next) && !Agree(good_, *next))) {
      ++discontinuities;
      place_ += Expected(good_.index, s.index);
      offset_ = s.value - place_;
    } else {
      ++ignored;
      return;
    }
    good_ = s;
    out_->Add({s.index, place_, offset_});
  }

  double rate_;
  Simplifier* out_;
  bool first_ = false;
  bool started_ = false;
  Stamp previous_{};
  Stamp pending_{};
  Stamp good_{};
  int64_t place_ = 0;
  int64_t offset_ = 0;
};
}  // namespace

bool PacketPayload(const uint8_t* packet, size_t* offset, size_t* size) {
  const int control = (packet[3] >> 4) & 0x03;
  if ((control & 0x01) == 0) return false;
  size_t start = 4;
  if (control & 0x02) start = 5 + packet[4];
  if (start >= kP) return false;
  *offset = start;
  *size = kP - start;
  return true;
}

int64_t PacketPCR(const uint8_t* packet) {
  if ((packet[3] & 0x20) == 0 || packet[4] < 7 || (packet[5] & 0x10) == 0) return -1;
  const uint8_t* p = packet + 6;
  return (static_cast<int64_t>(p[0]) << 25) | (static_cast<int64_t>(p[1]) << 17) |
         (static_cast<int64_t>(p[2]) << 9) | (static_cast<int64_t>(p[3]) << 1) | (p[4] >> 7);
}

int64_t PacketPTS(const uint8_t* packet) {
  if ((packet[1] & 0x40) == 0 || (packet[1] & 0x80) != 0) return -1;
  size_t offset = 0;
  size_t size = 0;
  if (!PacketPayload(packet, &offset, &size) || size < 14) return -1;
  const uint8_t* b = packet + offset;
  if (b[0] != 0 || b[1] != 0 || b[2] != 1 || (b[7] & 0x80) == 0) return -1;
  return (static_cast<int64_t>((b[9] >> 1) & 0x07) << 30) | (static_cast<int64_t>(b[10]) << 22) |
         (static_cast<int64_t>(b[11] >> 1) << 15) | (static_cast<int64_t>(b[12]) << 7) |
         (b[13] >> 1);
}

TSRecording::~TSRecording() { Reset(); }

void TSRecording::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  memory_.clear();
  memory_.shrink_to_fit();
  size_ = 0;
  bytesRead_.store(0, std::memory_order_relaxed);
  runs_.clear();
  count_ = 0;
  skipped_ = 0;
  source_ = ClockSource::kNone;
  ticksPerPacket_ = 0;
  headRate_ = tailRate_ = 0;
  edge_ = 0;
  anchors_.clear();
  firstPlace_ = 0;
  ignored_ = 0;
  discontinuities_ = 0;
}

void TSRecording::SetNominalBitRate(int64_t bitsPerSecond) {
  if (bitsPerSecond > 0) nominalBitRate_ = bitsPerSecond;
}

size_t TSRecording::ReadBytes(uint64_t offset, size_t size, uint8_t* out) const {
  if (offset >= size_) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
  bytesRead_.fetch_add(size, std::memory_order_relaxed);
  if (fd_ < 0) {
    std::memcpy(out, memory_.data() + offset, size);
    return size;
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void TSRecording::Window::Release() {
  if (mapped_) munmap(const_cast<uint8_t*>(data_), length_);
  data_ = nullptr;
  mapped_ = false;
  length_ = 0;
}

const uint8_t* TSRecording::BytesIn(uint64_t offset, size_t size, Window& window) const {
  if (offset > size_ || size > size_ - offset) return nullptr;
  if (fd_ < 0) return memory_.data() + offset;
  if (window.data_ != nullptr && offset >= window.start_ &&
      offset + size <= window.start_ + window.length_) {
    return window.data_ + (offset - window.start_);
  }
  // Mapped rather than read: the page cache is looked at in place, and a
  // window this size keeps what a reader holds small however long the file.
  constexpr uint64_t kWindowBytes = 4 << 20;
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  window.Release();
  const uint64_t start = offset / page * page;
  // Only what the file still holds: a page past its end would fault.
  struct stat now {};
  const uint64_t end =
      fstat(fd_, &now) == 0 ? std::min<uint64_t>(size_, static_cast<uint64_t>(now.st_size)) : 0;
  if (offset + size > end) return nullptr;
  const uint64_t wanted = std::max<uint64_t>(kWindowBytes, offset + size - start);
  const size_t length = static_cast<size_t>(std::min<uint64_t>(wanted, end - start));
  void* mapped = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
  if (mapped != MAP_FAILED) {
    madvise(mapped, length, MADV_SEQUENTIAL);
    window.data_ = static_cast<const uint8_t*>(mapped);
    window.mapped_ = true;
    bytesRead_.fetch_add(length, std::memory_order_relaxed);
  } else {
    window.copy_.resize(length);
    if (ReadBytes(start, length, window.copy_.data()) != length) return nullptr;
    window.data_ = window.copy_.data();
  }
  window.start_ = start;
  window.length_ = length;
  return window.data_ + (offset - start);
}

const uint8_t* TSRecording::PacketIn(size_t index, Window& window) const {
  if (index >= count_) return nullptr;
  return BytesIn(OffsetOf(index), kP, window);
}

const uint8_t* TSRecording::PacketsIn(size_t index, size_t most, Window& window,
                                      size_t* got) const {
  *got = 0;
  if (index >= count_ || most == 0) return nullptr;
  const auto it = RunAfter(index);
  const Run& run = *(it - 1);
  const uint64_t offset = run.offset + (index - run.first) * kP;
  const uint8_t* data = BytesIn(offset, kP, window);
  if (data == nullptr) return nullptr;
  // As far as the packets follow each other in the source and in the window.
  const size_t runEnd = it == runs_.end() ? count_ : it->first;
  const uint64_t end = fd_ < 0 ? size_ : window.start_ + window.length_;
  const size_t inPlace = static_cast<size_t>((end - offset) / kP);
  *got = std::min({most, runEnd - index, inPlace});
  return data;
}

std::vector<TSRecording::Run>::const_iterator TSRecording::RunAfter(size_t index) const {
  return std::upper_bound(runs_.begin(), runs_.end(), index,
                          [](size_t i, const Run& r) { return i < r.first; });
}

uint64_t TSRecording::OffsetOf(size_t index) const {
  const auto it = RunAfter(index);
  const Run& run = *(it - 1);
  return run.offset + (index - run.first) * kP;
}

size_t TSRecording::ReadPackets(size_t first, size_t count, uint8_t* out) const {
  size_t done = 0;
  while (done < count && first + done < count_) {
    const size_t index = first + done;
    const auto it = RunAfter(index);
    const size_t runEnd = it == runs_.end() ? count_ : it->first;
    const size_t n = std::min(count - done, runEnd - index);
    if (ReadBytes(OffsetOf(index), n * kP, out + done * kP) != n * kP) break;
    done += n;
  }
  return done;
}

const uint8_t* TSRecording::Packet(size_t index) const {
  if (fd_ < 0 && index < count_) return memory_.data() + OffsetOf(index);
  thread_local uint8_t buffer[kP];
  if (ReadPackets(index, 1, buffer) != 1) std::memset(buffer, 0xFF, sizeof buffer);
  return buffer;
}

void TSRecording::Visit(size_t first,
                        const std::function<bool(size_t index, const uint8_t* packet)>& visit) const {
  constexpr size_t kChunk = 512;
  std::vector<uint8_t> chunk(kChunk * kP);
  while (first < count_) {
    const size_t n = ReadPackets(first, kChunk, chunk.data());
    if (n == 0) return;
    for (size_t k = 0; k < n; ++k) {
      if (!visit(first + k, chunk.data() + k * kP)) return;
    }
    first += n;
  }
}

std::vector<uint32_t> TSRecording::PacketsOf(uint16_t pid) const {
  std::vector<uint32_t> out;
  Visit(0, [&](size_t index, const uint8_t* p) {
    if (PacketPid(p) == pid) out.push_back(static_cast<uint32_t>(index));
    return true;
  });
  return out;
}

std::vector<TSRecording::Anchor>::const_iterator TSRecording::AnchorAfter(size_t index) const {
  // A replay asks about the packets around two places (where the arrivals
  // and where the system time clock stand), from several threads: each
  // thread's last two answers are looked at before any search.
  thread_local const TSRecording* lastRecording = nullptr;
  thread_local size_t last[2] = {0, 0};
  const size_t n = anchors_.size();
  const auto fits = [&](size_t k) {
    return k <= n && (k == n || anchors_[k].index > index) &&
           (k == 0 || anchors_[k - 1].index <= index);
  };
  if (lastRecording == this) {
    for (size_t slot = 0; slot < 2; ++slot) {
      for (size_t k = last[slot]; k <= last[slot] + 2; ++k) {
        if (!fits(k)) continue;
        last[slot] = k;
        if (slot == 1) std::swap(last[0], last[1]);
        return anchors_.begin() + static_cast<long>(k);
      }
    }
  }
  const auto it = std::upper_bound(anchors_.begin(), anchors_.end(), index,
                                   [](size_t i, const Anchor& a) { return i < a.index; });
  lastRecording = this;
  last[1] = last[0];
  last[0] = static_cast<size_t>(it - anchors_.begin());
  return it;
}

int64_t TSRecording::Place(size_t index) const {
  if (anchors_.empty()) return static_cast<int64_t>(static_cast<double>(index) * ticksPerPacket_);
  const auto it = AnchorAfter(index);
  // Outside the clock values the packets go on at the pace of the nearest
  // stretch, but no further than one clock step: the clock would have
  // spoken again by then.
  if (it == anchors_.begin()) {
    const double packets = static_cast<double>(anchors_.front().index - index);
    return anchors_.front().place - static_cast<int64_t>(std::min(packets * headRate_, edge_));
  }
  if (it == anchors_.end()) {
    const double packets = static_cast<double>(index - anchors_.back().index);
    return anchors_.back().place + static_cast<int64_t>(std::min(packets * tailRate_, edge_));
  }
  const Anchor& a = *(it - 1);
  const Anchor& b = *it;
  return a.place + (b.place - a.place) * static_cast<int64_t>(index - a.index) /
                       static_cast<int64_t>(b.index - a.index);
}

int64_t TSRecording::ClockOffset(size_t index) const {
  // Without a discontinuity the offset never changes: no need to look.
  if (discontinuities_ == 0) return 0;
  const auto it = AnchorAfter(index);
  return it == anchors_.begin() ? 0 : (it - 1)->offset;
}

bool TSRecording::Load(const std::string& path, std::string* error) {
  Reset();
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  const off_t end = lseek(fd_, 0, SEEK_END);
  if (end < 0) {
    if (error) *error = std::strerror(errno);
    Reset();
    return false;
  }
  size_ = static_cast<uint64_t>(end);
  return Scan(error);
}

bool TSRecording::LoadBytes(const std::vector<uint8_t>& bytes, std::string* error) {
  Reset();
  memory_ = bytes;
  size_ = memory_.size();
  return Scan(error);
}

namespace {
// Which PID carries the clock is decided on the first stretch of the
// recording (a few tens of megabytes, and on until some clock value came),
// so that the whole file is read once: its values up to there are kept, and
// from there on they go into the time line as the packets go by.
constexpr size_t kDecideAfter = size_t{1} << 17;
constexpr size_t kPids = 8192;

struct Candidate {
  uint16_t pid;
  bool pcr;
  Stamp stamp;
};
}  // namespace

// Everything about the clock that the recording's packets tell, gathered
// from them as they go by.
class ClockBuilder {
  using Anchor = TSRecording::Anchor;
  using ClockSource = TSRecording::ClockSource;


 public:
  explicit ClockBuilder(double nominal)
      : ticksPerPacket(nominal),
        pcrs_(kPids),
        ptss_(kPids),
        flagged_{std::vector<uint8_t>(kPids), std::vector<uint8_t>(kPids)} {}

  void Add(size_t index, const uint8_t* packet) {
    const uint16_t pid = PacketPid(packet);
    // Once the clock's PID is known, the other packets tell nothing more.
    if (decided_ && pid != clockPid_) return;
    if ((packet[3] & 0x20) && packet[4] > 0 && (packet[5] & 0x80)) {
      flagged_[0][pid] = flagged_[1][pid] = 1;
    }
    if (!decided_) {
      const int64_t pcr = PacketPCR(packet);
      const int64_t pts = PacketPTS(packet);
      if (pcr >= 0) Keep(pid, true, index, pcr);
      if (pts >= 0) Keep(pid, false, index, pts);
      if (index + 1 >= kDecideAfter && !kept_.empty()) Decide();
      return;
    }
    const bool fromPcr = source == ClockSource::kPCR;
    const int64_t value = fromPcr ? PacketPCR(packet) : PacketPTS(packet);
    if (value < 0) return;
    Take({index, value, flagged_[fromPcr][pid] != 0});
    flagged_[fromPcr][pid] = 0;
  }

  // Called once, after the last packet.
  void Finish(std::vector<Anchor>* anchors, int* ignored, int* discontinuities) {
    if (!decided_) Decide();
    if (source == ClockSource::kNone) {
      edge = std::numeric_limits<double>::infinity();
      return;
    }
    line_->Finish();
    *anchors = simplifier_.Finish();
    *ignored = line_->ignored;
    *discontinuities = line_->discontinuities;
    if (sample_.TicksPerPacket() > 0) ticksPerPacket = sample_.TicksPerPacket();
    edge = sample_.Interval() > 0 ? sample_.Interval() : std::numeric_limits<double>::infinity();
  }

  ClockSource source = ClockSource::kNone;
  double ticksPerPacket;  // the clock's typical pace
  double edge = 0;        // how far past its ends the time line reaches

 private:
  void Keep(uint16_t pid, bool pcr, size_t index, int64_t value) {
    (pcr ? pcrs_ : ptss_)[pid]++;
    kept_.push_back({pid, pcr, {index, value, flagged_[pcr][pid] != 0}});
    flagged_[pcr][pid] = 0;
  }

  void Decide() {
    decided_ = true;
    const auto busiest = [](const std::vector<size_t>& counts) {
      size_t best = 0;
      for (size_t pid = 1; pid < counts.size(); ++pid) {
        if (counts[pid] > counts[best]) best = pid;
      }
      return counts[best] > 0 ? static_cast<int>(best) : -1;
    };
    int pid = busiest(pcrs_);
    source = ClockSource::kPCR;
    if (pid < 0) {
      pid = busiest(ptss_);
      source = ClockSource::kPTS;
    }
    if (pid < 0) {
      source = ClockSource::kNone;
      kept_.clear();
      return;
    }
    clockPid_ = static_cast<uint16_t>(pid);
    const bool pcr = source == ClockSource::kPCR;
    // The rate the time line judges values by comes from the values so far.
    StepSample first;
    Stamp previous{};
    bool any = false;
    for (const Candidate& c : kept_) {
      if (c.pid != clockPid_ || c.pcr != pcr) continue;
      if (any) first.Add(previous, c.stamp);
      previous = c.stamp;
      any = true;
    }
    const double rate = first.TicksPerPacket() > 0 ? first.TicksPerPacket() : ticksPerPacket;
    line_ = std::make_unique<TimeLine>(rate, &simplifier_);
    for (const Candidate& c : kept_) {
      if (c.pid == clockPid_ && c.pcr == pcr) Take(c.stamp);
    }
    kept_.clear();
    kept_.shrink_to_fit();
  }

  void Take(const Stamp& s) {
    if (any_) sample_.Add(previous_, s);
    previous_ = s;
    any_ = true;
    line_->Add(s);
  }

  std::vector<size_t> pcrs_;
  std::vector<size_t> ptss_;
  // A discontinuity flag since the PID's last PTS [0] or PCR [1].
  std::vector<uint8_t> flagged_[2];
  std::vector<Candidate> kept_;
  bool decided_ = false;
  uint16_t clockPid_ = 0;
  StepSample sample_;
  Stamp previous_{};
  bool any_ = false;
  Simplifier simplifier_;
  std::unique_ptr<TimeLine> line_;
};

// Finds the packet boundaries and the time line in one pass over the source,
// reading it in windows.
bool TSRecording::Scan(std::string* error) {
  Window window;
  const double nominal = static_cast<double>(kP * 8 * 90000) / static_cast<double>(nominalBitRate_);
  ClockBuilder clock(nominal);
  uint64_t pos = 0;
  uint64_t expectedNext = UINT64_MAX;
  // Two packets of look-ahead where the file has them.
  const auto lookAhead = [&] {
    return static_cast<size_t>(std::min<uint64_t>(2 * kP, size_ - pos));
  };
  while (pos + kP <= size_) {
    const uint8_t* b = BytesIn(pos, lookAhead(), window);
    if (b == nullptr) break;
    // Everything up to the end of the window is looked at in place.
    const uint64_t base = pos;
    const uint64_t end = fd_ < 0 ? size_ : window.start_ + window.length_;
    for (size_t left = lookAhead(); pos + left <= end && pos + kP <= size_; left = lookAhead()) {
      const uint8_t* p = b + (pos - base);
      // A sync byte counts only when the next packet (if any) also starts with one.
      const bool synced = p[0] == 0x47 && (left < 2 * kP || p[kP] == 0x47);
      if (!synced) {
        ++pos;
        ++skipped_;
        continue;
      }
      if (pos != expectedNext) runs_.push_back({count_, pos});
      clock.Add(count_, p);
      ++count_;
      pos += kP;
      expectedNext = pos;
    }
  }
  skipped_ += static_cast<size_t>(size_ - pos);
  if (count_ == 0) {
    if (error) *error = "no transport stream packets found";
    return false;
  }
  clock.Finish(&anchors_, &ignored_, &discontinuities_);
  source_ = clock.source;
  ticksPerPacket_ = headRate_ = tailRate_ = clock.ticksPerPacket;
  edge_ = clock.edge;
  const auto slope = [](const Anchor& a, const Anchor& b) {
    return static_cast<double>(b.place - a.place) / static_cast<double>(b.index - a.index);
  };
  if (anchors_.size() >= 2) {
    headRate_ = slope(anchors_[0], anchors_[1]);
    tailRate_ = slope(anchors_[anchors_.size() - 2], anchors_.back());
  }
  firstPlace_ = Place(0);
  return true;
}
