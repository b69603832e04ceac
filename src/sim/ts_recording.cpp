#include "sim/ts_recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>

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
// steady clock shrinks to a few anchors. An anchor is settled when the value
// after it is known; no more than kLongestSpan packets go without one, so
// that a reader never waits long for the places around it.
class Simplifier {
 public:
  void Add(const TSRecording::Anchor& a) {
    if (!any_) {
      any_ = true;
      Emit(a);
      base_ = prev_ = a;
      return;
    }
    if (a.offset != base_.offset) {
      if (prev_.index != base_.index) Emit(prev_);
      Emit(a);
      base_ = prev_ = a;
      Reset();
      return;
    }
    if (Slope(a, 0) < lo_ || Slope(a, 0) > hi_ ||
        (a.index - base_.index > kLongestSpan && prev_.index != base_.index)) {
      base_ = prev_;
      Emit(base_);
      Reset();
    }
    lo_ = std::max(lo_, Slope(a, -kTolerance));
    hi_ = std::min(hi_, Slope(a, kTolerance));
    prev_ = a;
  }
  void Finish() {
    if (any_ && last_ != prev_.index) Emit(prev_);
  }
  // Moves the anchors settled since the last call to the end of `to`.
  void Take(std::deque<TSRecording::Anchor>* to) {
    to->insert(to->end(), out_.begin(), out_.end());
    out_.clear();
  }

 private:
  static constexpr size_t kLongestSpan = 4096;
  void Emit(const TSRecording::Anchor& a) {
    out_.push_back(a);
    last_ = a.index;
  }
  double Slope(const TSRecording::Anchor& a, int64_t offset) const {
    return static_cast<double>(a.place + offset - base_.place) /
           static_cast<double>(a.index - base_.index);
  }
  void Reset() {
    lo_ = -std::numeric_limits<double>::infinity();
    hi_ = std::numeric_limits<double>::infinity();
  }

  std::vector<TSRecording::Anchor> out_;
  bool any_ = false;
  size_t last_ = 0;
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

namespace {
// Which PID carries the clock is decided on the first stretch of the
// recording (a few tens of megabytes, and on until some clock value came):
// its values up to there are kept, and from there on they go into the time
// line as the packets go by.
constexpr size_t kDecideAfter = size_t{1} << 17;
constexpr size_t kPids = 8192;
// How far the scan goes ahead of the readers, in packets: far enough that a
// reader seldom waits, near enough that the chunks it read are still there
// when the readers come.
constexpr size_t kAhead = size_t{1} << 14;
// The scan tells the readers what it found every so many packets.
constexpr size_t kBatch = 1024;
// Chunks are read at multiples of this size; the last few are kept for
// whoever comes next.
constexpr uint64_t kChunkBytes = 1 << 20;
constexpr size_t kKeptChunks = 6;

struct Candidate {
  uint16_t pid;
  bool pcr;
  Stamp stamp;
};

double Slope(const TSRecording::Anchor& a, const TSRecording::Anchor& b) {
  return static_cast<double>(b.place - a.place) / static_cast<double>(b.index - a.index);
}
}  // namespace

// Everything about the clock that the recording's packets tell, gathered
// from them as they go by.
class ClockBuilder {
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
    if (decided && pid != clockPid_) return;
    if ((packet[3] & 0x20) && packet[4] > 0 && (packet[5] & 0x80)) {
      flagged_[0][pid] = flagged_[1][pid] = 1;
    }
    if (!decided) {
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
  void Finish() {
    if (!decided) Decide();
    if (source == ClockSource::kNone) return;
    line_->Finish();
    simplifier_.Finish();
    ignored = line_->ignored;
    discontinuities = line_->discontinuities;
    if (sample_.TicksPerPacket() > 0) ticksPerPacket = sample_.TicksPerPacket();
  }
  void TakeAnchors(std::deque<TSRecording::Anchor>* to) { simplifier_.Take(to); }

  bool decided = false;
  ClockSource source = ClockSource::kNone;
  double ticksPerPacket;  // the clock's typical pace
  // How far past its ends the time line reaches: the typical clock step on
  // the stretch the clock was chosen on.
  double edge = std::numeric_limits<double>::infinity();
  int ignored = 0;
  int discontinuities = 0;

 private:
  void Keep(uint16_t pid, bool pcr, size_t index, int64_t value) {
    (pcr ? pcrs_ : ptss_)[pid]++;
    kept_.push_back({pid, pcr, {index, value, flagged_[pcr][pid] != 0}});
    flagged_[pcr][pid] = 0;
  }

  void Decide() {
    decided = true;
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
    if (first.Interval() > 0) edge = first.Interval();
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
  uint16_t clockPid_ = 0;
  StepSample sample_;
  Stamp previous_{};
  bool any_ = false;
  Simplifier simplifier_;
  std::unique_ptr<TimeLine> line_;
};

// A stretch of the file read once and shared by every reader that needs it.
struct TSRecording::Chunk {
  uint64_t recording = 0;  // the load it belongs to
  uint64_t start = 0;
  size_t length = 0;
  std::unique_ptr<uint8_t[]> bytes;
  const uint8_t* data = nullptr;
};

// What the scan has found so far, shared between the scan's thread and the
// readers.
struct TSRecording::Progress {
  Progress() {
    static std::atomic<uint64_t> ids{0};
    id = ++ids;
  }
  uint64_t id;  // tells one load from another in the readers' caches
  std::mutex mutex;
  std::condition_variable found;   // a reader waits for the scan
  std::condition_variable wanted;  // the scan waits for a reader
  // Under `mutex`:
  std::vector<Run> runs;
  // Settled anchors; a deque so that those already handed to a reader stay
  // where they are while more are added.
  std::deque<Anchor> anchors;
  size_t count = 0;  // packets found
  bool stop = false;
  bool paused = false;
  int waiting = 0;
  // Written under `mutex`, read without it too: the packets from the first
  // on whose place is settled, twice, plus one once that is all of them;
  // and the furthest packet a reader asked about lately.
  std::atomic<uint64_t> settled{0};
  std::atomic<size_t> demand{0};
  size_t Placed() const { return static_cast<size_t>(settled.load(std::memory_order_relaxed) / 2); }
  bool Complete() const { return (settled.load(std::memory_order_relaxed) & 1) != 0; }
  size_t skipped = 0;
  int ignored = 0;
  int discontinuities = 0;
  double ticksPerPacket = 0;
  double headRate = 0;
  double tailRate = 0;
  double edge = 0;
  // The chunks read last, under `chunkMutex`.
  std::mutex chunkMutex;
  std::deque<std::shared_ptr<const Chunk>> chunks;

  // A reader asks about packet `index`: the scan is told to go on when it
  // comes near, and the reader waits while `ready` is false.
  template <typename Ready>
  void Await(std::unique_lock<std::mutex>& lock, size_t index, Ready ready) {
    if (!Complete() && index + kAhead / 2 >= Placed() && index > demand) {
      demand = index;
      if (paused) wanted.notify_one();
    }
    while (!Complete() && !ready()) {
      ++waiting;
      found.wait(lock);
      --waiting;
    }
  }
  // Under the lock.
  void Settle(size_t n, bool done) {
    settled.store(uint64_t{n} * 2 + (done ? 1 : 0), std::memory_order_release);
  }
  // Lets go of chunks nobody uses any more, on the scan's thread rather
  // than a reader's.
  void DropUnused() {
    for (size_t k = 0; k < chunks.size() && chunks.size() > kKeptChunks;) {
      if (chunks[k].use_count() == 1) {
        chunks.erase(chunks.begin() + static_cast<long>(k));
      } else {
        ++k;
      }
    }
  }
};

TSRecording::TSRecording() : progress_(std::make_unique<Progress>()) { progress_->Settle(0, true); }

TSRecording::~TSRecording() { Reset(); }

void TSRecording::Reset() {
  if (scanner_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(progress_->mutex);
      progress_->stop = true;
    }
    progress_->wanted.notify_all();
    scanner_.join();
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  loaded_ = false;
  memory_.clear();
  memory_.shrink_to_fit();
  size_ = 0;
  bytesRead_.store(0, std::memory_order_relaxed);
  source_ = ClockSource::kNone;
  firstPlace_ = 0;
  // Nothing loaded: nothing more to wait for.
  progress_ = std::make_unique<Progress>();
  progress_->Settle(0, true);
}

void TSRecording::SetNominalBitRate(int64_t bitsPerSecond) {
  if (bitsPerSecond > 0) nominalBitRate_ = bitsPerSecond;
}

size_t TSRecording::ReadBytes(uint64_t offset, size_t size, uint8_t* out) const {
  if (offset >= size_) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

std::shared_ptr<const TSRecording::Chunk> TSRecording::ChunkAt(uint64_t start) const {
  Progress& p = *progress_;
  std::lock_guard<std::mutex> lock(p.chunkMutex);
  for (const auto& chunk : p.chunks) {
    if (chunk->start == start) return chunk;
  }
  if (start >= size_) return nullptr;
  // A little more than the chunk, so that the packets starting in it (and
  // the scan's look at the next sync byte) lie whole in it.
  const size_t length =
      static_cast<size_t>(std::min<uint64_t>(kChunkBytes + 2 * kP, size_ - start));
  auto chunk = std::make_shared<Chunk>();
  chunk->recording = p.id;
  chunk->start = start;
  // Read rather than mapped: mapping and unmapping a chunk costs the other
  // threads more (the processors' address caches are flushed) than a copy
  // on the scan's own processor. A file cut short since the load gives a
  // shorter chunk.
  chunk->bytes.reset(new uint8_t[length]);
  chunk->length = ReadBytes(start, length, chunk->bytes.get());
  chunk->data = chunk->bytes.get();
  if (chunk->length == 0) return nullptr;
  bytesRead_.fetch_add(std::min<uint64_t>(kChunkBytes, chunk->length), std::memory_order_relaxed);
  p.chunks.push_back(chunk);
  // A chunk a reader still looks at stays, so that the reader is not the
  // one that frees it; a reader stuck on an old one cannot keep many.
  if (p.chunks.size() > kKeptChunks) p.DropUnused();
  while (p.chunks.size() > 2 * kKeptChunks) p.chunks.pop_front();
  return chunk;
}

const uint8_t* TSRecording::BytesIn(uint64_t offset, size_t size, Window& window) const {
  if (offset > size_ || size > size_ - offset) return nullptr;
  if (fd_ < 0) return memory_.data() + offset;
  if (window.data_ == nullptr || window.chunk_->recording != progress_->id ||
      offset < window.start_ || offset + size > window.start_ + window.length_) {
    window.chunk_ = ChunkAt(offset / kChunkBytes * kChunkBytes);
    if (window.chunk_ == nullptr) {
      window.data_ = nullptr;
      return nullptr;
    }
    window.data_ = window.chunk_->data;
    window.start_ = window.chunk_->start;
    window.length_ = window.chunk_->length;
    if (offset + size > window.start_ + window.length_) return nullptr;
  }
  return window.data_ + (offset - window.start_);
}

const uint8_t* TSRecording::PacketsIn(size_t index, size_t most, Window& window,
                                      size_t* got) const {
  *got = 0;
  if (most == 0) return nullptr;
  Progress& p = *progress_;
  // The run the window's reader was in, as far as it was known, needs no
  // lock.
  if (window.recording_ != p.id || index < window.runFirst_ || index >= window.runEnd_) {
    std::unique_lock<std::mutex> lock(p.mutex);
    p.Await(lock, index, [&] { return index < p.count; });
    if (index >= p.count) return nullptr;
    const auto it = std::upper_bound(p.runs.begin(), p.runs.end(), index,
                                     [](size_t i, const Run& r) { return i < r.first; });
    window.recording_ = p.id;
    window.runFirst_ = (it - 1)->first;
    window.runOffset_ = (it - 1)->offset;
    window.runEnd_ = it == p.runs.end() ? p.count : it->first;
  }
  const uint64_t offset = window.runOffset_ + (index - window.runFirst_) * kP;
  const size_t runEnd = window.runEnd_;
  const uint8_t* data = BytesIn(offset, kP, window);
  if (data == nullptr) return nullptr;
  // As far as the packets follow each other in the source and in the window.
  const uint64_t end = fd_ < 0 ? size_ : window.start_ + window.length_;
  const size_t inPlace = static_cast<size_t>((end - offset) / kP);
  *got = std::min({most, runEnd - index, inPlace});
  return data;
}

void TSRecording::Visit(size_t first,
                        const std::function<bool(size_t index, const uint8_t* packet)>& visit) const {
  Window window;
  for (;;) {
    size_t n = 0;
    const uint8_t* data = PacketsIn(first, SIZE_MAX, window, &n);
    if (data == nullptr) return;
    for (size_t k = 0; k < n; ++k) {
      if (!visit(first + k, data + k * kP)) return;
    }
    first += n;
  }
}

size_t TSRecording::PacketCount() const {
  Progress& p = *progress_;
  std::unique_lock<std::mutex> lock(p.mutex);
  p.Await(lock, SIZE_MAX - kAhead, [] { return false; });
  return p.count;
}

size_t TSRecording::PlacedCount(bool* complete) const {
  const uint64_t settled = progress_->settled.load(std::memory_order_acquire);
  *complete = (settled & 1) != 0;
  return static_cast<size_t>(settled / 2);
}

void TSRecording::Nudge(size_t index) const {
  Progress& p = *progress_;
  const uint64_t settled = p.settled.load(std::memory_order_acquire);
  if ((settled & 1) != 0 || index + kAhead / 2 < settled / 2 ||
      index <= p.demand.load(std::memory_order_relaxed)) {
    return;
  }
  std::unique_lock<std::mutex> lock(p.mutex);
  p.Await(lock, index, [] { return true; });
}

void TSRecording::WaitPlaced(size_t index) const {
  Progress& p = *progress_;
  std::unique_lock<std::mutex> lock(p.mutex);
  p.Await(lock, index, [&] { return index < p.Placed(); });
}

const TSRecording::Progress& TSRecording::WholeFile() const {
  // Once the scan is complete these figures no longer change.
  PacketCount();
  return *progress_;
}

int TSRecording::IgnoredClockValues() const { return WholeFile().ignored; }

int TSRecording::Discontinuities() const { return WholeFile().discontinuities; }

size_t TSRecording::SkippedBytes() const { return WholeFile().skipped; }

namespace {
// The anchors on both sides of the packets each reading thread looked at
// last, for the places a replay asks about (where the arrivals and where the
// system time clock stand, and the searches around them): those questions
// need no lock and no search.
struct Bracket {
  uint64_t recording = 0;
  const TSRecording::Anchor* before = nullptr;
  const TSRecording::Anchor* after = nullptr;
  bool Holds(uint64_t id, size_t index) const {
    return recording == id && before->index <= index && index < after->index;
  }
};
constexpr size_t kBrackets = 4;
thread_local Bracket t_brackets[kBrackets];

const Bracket* Bracketing(uint64_t id, size_t index) {
  for (size_t k = 0; k < kBrackets; ++k) {
    if (!t_brackets[k].Holds(id, index)) continue;
    // The one found moves to the front.
    const Bracket found = t_brackets[k];
    std::copy_backward(t_brackets, t_brackets + k, t_brackets + k + 1);
    t_brackets[0] = found;
    return &t_brackets[0];
  }
  return nullptr;
}

int64_t Between(const TSRecording::Anchor& a, const TSRecording::Anchor& b, size_t index) {
  return a.place + (b.place - a.place) * static_cast<int64_t>(index - a.index) /
                       static_cast<int64_t>(b.index - a.index);
}
}  // namespace

size_t TSRecording::AnchorAfterLocked(size_t index) const {
  const std::deque<Anchor>& anchors = progress_->anchors;
  const auto it = std::upper_bound(anchors.begin(), anchors.end(), index,
                                   [](size_t i, const Anchor& a) { return i < a.index; });
  if (it != anchors.begin() && it != anchors.end()) {
    std::copy_backward(t_brackets, t_brackets + kBrackets - 1, t_brackets + kBrackets);
    t_brackets[0] = {progress_->id, &*(it - 1), &*it};
  }
  return static_cast<size_t>(it - anchors.begin());
}

int64_t TSRecording::PlaceLocked(size_t index) const {
  const Progress& p = *progress_;
  const std::deque<Anchor>& anchors = p.anchors;
  if (anchors.empty()) return static_cast<int64_t>(static_cast<double>(index) * p.ticksPerPacket);
  const size_t after = AnchorAfterLocked(index);
  // Outside the clock values the packets go on at the pace of the nearest
  // stretch, but no further than one clock step: the clock would have
  // spoken again by then.
  if (after == 0) {
    const double packets = static_cast<double>(anchors.front().index - index);
    return anchors.front().place - static_cast<int64_t>(std::min(packets * p.headRate, p.edge));
  }
  if (after == anchors.size()) {
    const double packets = static_cast<double>(index - anchors.back().index);
    return anchors.back().place + static_cast<int64_t>(std::min(packets * p.tailRate, p.edge));
  }
  return Between(anchors[after - 1], anchors[after], index);
}

int64_t TSRecording::Place(size_t index) const {
  Progress& p = *progress_;
  if (const Bracket* b = Bracketing(p.id, index)) return Between(*b->before, *b->after, index);
  std::unique_lock<std::mutex> lock(p.mutex);
  p.Await(lock, index, [&] { return index < p.Placed(); });
  return PlaceLocked(index);
}

int64_t TSRecording::ClockOffset(size_t index) const {
  Progress& p = *progress_;
  if (const Bracket* b = Bracketing(p.id, index)) return b->before->offset;
  std::unique_lock<std::mutex> lock(p.mutex);
  p.Await(lock, index, [&] { return index < p.Placed(); });
  const size_t after = AnchorAfterLocked(index);
  return after == 0 ? 0 : p.anchors[after - 1].offset;
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
  return Start(error);
}

bool TSRecording::LoadBytes(const std::vector<uint8_t>& bytes, std::string* error) {
  Reset();
  memory_ = bytes;
  size_ = memory_.size();
  return Start(error);
}

bool TSRecording::Start(std::string* error) {
  progress_ = std::make_unique<Progress>();
  scanner_ = std::thread([this] { Scan(); });
  Progress& p = *progress_;
  {
    std::unique_lock<std::mutex> lock(p.mutex);
    p.Await(lock, 0, [&] { return p.Placed() > 0; });
    if (p.count > 0) {
      firstPlace_ = PlaceLocked(0);
      loaded_ = true;
      return true;
    }
  }
  if (error) *error = "no transport stream packets found";
  Reset();
  return false;
}

// Finds the packet boundaries and the time line in one pass over the source,
// a little ahead of the readers, and hands them what it found as it goes.
void TSRecording::Scan() {
  Progress& p = *progress_;
  Window window;
  const double nominal = static_cast<double>(kP * 8 * 90000) / static_cast<double>(nominalBitRate_);
  ClockBuilder clock(nominal);
  std::vector<Run> runs;
  size_t count = 0;
  size_t skipped = 0;
  // Hands over what was found; false when the recording is being closed.
  const auto publish = [&](bool complete) {
    std::unique_lock<std::mutex> lock(p.mutex);
    // The clock is told to the loading thread with the first settled places.
    if (p.Placed() == 0) source_ = clock.source;
    p.runs.insert(p.runs.end(), runs.begin(), runs.end());
    runs.clear();
    p.count = count;
    clock.TakeAnchors(&p.anchors);
    if (clock.decided) p.edge = clock.edge;
    if (complete) {
      p.Settle(count, true);
      p.skipped = skipped;
      p.ignored = clock.ignored;
      p.discontinuities = clock.discontinuities;
      p.ticksPerPacket = p.headRate = p.tailRate = clock.ticksPerPacket;
      if (clock.source == ClockSource::kNone) p.edge = std::numeric_limits<double>::infinity();
      const size_t n = p.anchors.size();
      if (n >= 2) {
        p.headRate = Slope(p.anchors[0], p.anchors[1]);
        p.tailRate = Slope(p.anchors[n - 2], p.anchors[n - 1]);
      }
    } else if (p.anchors.size() >= 2) {
      // The places up to the last settled anchor are final.
      if (p.Placed() == 0) p.headRate = Slope(p.anchors[0], p.anchors[1]);
      p.Settle(p.anchors.back().index, false);
    }
    if (p.waiting > 0) p.found.notify_all();
    while (!p.stop && !complete && p.Placed() > p.demand + kAhead) {
      p.paused = true;
      p.wanted.wait(lock);
      p.paused = false;
    }
    return !p.stop;
  };
  uint64_t pos = 0;
  uint64_t expectedNext = UINT64_MAX;
  size_t nextPublish = kBatch;
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
      const uint8_t* packet = b + (pos - base);
      // A sync byte counts only when the next packet (if any) also starts with one.
      const bool synced = packet[0] == 0x47 && (left < 2 * kP || packet[kP] == 0x47);
      if (!synced) {
        ++pos;
        ++skipped;
        continue;
      }
      if (pos != expectedNext) runs.push_back({count, pos});
      clock.Add(count, packet);
      ++count;
      pos += kP;
      expectedNext = pos;
      if (count == nextPublish) {
        if (!publish(false)) return;
        nextPublish += kBatch;
      }
    }
  }
  skipped += static_cast<size_t>(size_ - pos);
  clock.Finish();
  publish(true);
}
