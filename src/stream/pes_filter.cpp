#include "stream/pes_filter.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "stream/pmt_loader.h"

namespace {

// Start code of private_stream_1, the only stream id subtitles come in.
constexpr uint8_t kStartCode[4] = {0x00, 0x00, 0x01, 0xBD};
constexpr int64_t kTicksPerSecond = 90000;
constexpr int64_t kTicksPerMilli = 90;

std::atomic<int> g_livePackets{0};
std::atomic<size_t> g_highWaterPackets{0};
std::atomic<size_t> g_highWaterBytes{0};

void RaiseTo(std::atomic<size_t>& mark, size_t value) {
  size_t seen = mark.load(std::memory_order_relaxed);
  while (value > seen && !mark.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Teletext PES packets fill whole transport packet payloads and begin at
// one: the packet is a multiple of 184 bytes, and at every 184th byte of
// it a data unit begins, whose id is never 0. A start code there is the
// next packet.
constexpr int kTeletextUnit = 184;
constexpr int kTeletextHeaderLength = 0x24;
constexpr uint8_t kDvbDataIdentifier = 0x20;

}  // namespace

PESFilter::PESFilter(const Platform& platform) : platform_(platform) {
  log("PESFilter created.\n");
}

PESFilter::~PESFilter() {
  // The thread works on this object; it must be gone before the object is.
  if (thread != 0 || fd != -1) Stop();
  ReapExitedThread();
  DiscardQueue();
}

bool PESFilter::Start(int pid, Subtitle* decoder_, int recDelay_) {
  log("Filter starting: 0x%x\n", pid);
  // A second Start without a Stop would orphan the running thread and the open
  // handle; end the previous run first.
  if (thread != 0 || fd != -1) {
    if (!Stop()) return false;
  }
  ReapExitedThread();
  if (exited_ != 0) {
    // Only the reader thread itself can get here with its own handle kept:
    // a second reader must not start while it still runs.
    log("Failed pthread_join()\n");
    return false;
  }
  decoder = decoder_;
  recDelay = recDelay_;

  fd = platform_.io->Open(platform_.paths.demux.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    fd = -1;
    log("Failed open(DMX)\n");
    LogOpenError(*platform_.io, platform_.paths.demux, err);
    return false;
  }
  // This request takes the size itself, not a pointer to it.
  void* size = reinterpret_cast<void*>(static_cast<uintptr_t>(kDriverBufferSize));
  if (platform_.io->Ioctl(fd, DMX_SET_BUFFERSIZE, size) < 0) {
    log("Failed ioctl(DMX_SET_BUFFERSIZE)\n");
    CloseDevice();
    return false;
  }
  PESFilterParams params{};
  params.pid = static_cast<uint16_t>(pid);
  params.input = boxdmx::kInputFrontend;
  params.output = boxdmx::kOutputTap;
  params.pesType = boxdmx::kPesTypeOther;
  params.flags = boxdmx::kImmediateStart;
  if (platform_.io->Ioctl(fd, DMX_SET_PES_FILTER, &params) < 0) {
    log("Failed ioctl(DMX_SET_PES_FILTER)\n");
    CloseDevice();
    return false;
  }

  thread = 0;
  stopRequested_.store(false, std::memory_order_release);
  if (createThread_(&thread, nullptr, &PESFilter::ThreadEntry, this) != 0) {
    // The handle stays open with its filter running; the next Stop closes it.
    thread = 0;
    log("Failed pthread_create()\n");
    return false;
  }
  return true;
}

bool PESFilter::Stop() {
  // The thread is asked to end before the line goes out: a replay on virtual
  // time lets time run on for the reader thread alone from that line on, and
  // the reader must not outlast it.
  if (thread != 0) stopRequested_.store(true, std::memory_order_release);
  log("Stoping PESFilter thread.\n");
  if (thread != 0) {
    // The thread looks at the flag at the top of every pass. A pass never
    // blocks (non-blocking reads, a short sleep), so the join is prompt, and
    // the thread never ends inside a decoder call: no drawing lock stays taken
    // and no packet is left half handled.
    if (pthread_equal(thread, pthread_self())) {
      // A decoder stops the filter from inside its own call and cannot wait
      // for its own thread. Once that call returns the thread only finishes
      // the release it was in and ends (see ReaderPass); the next Start, Stop
      // or the destructor joins it. Everything else is stopped now.
      exited_ = thread;
    } else if (pthread_join(thread, nullptr) != 0) {
      log("Failed pthread_join()\n");
      return false;
    }
    thread = 0;
  } else {
    ReapExitedThread();
  }
  log("Clean up PES queue.\n");
  DiscardQueue();
  if (fd != -1) {
    platform_.io->Ioctl(fd, DMX_STOP, nullptr);
    platform_.io->Close(fd);
    fd = -1;
  }
  return true;
}

void* PESFilter::ThreadEntry(void* self) {
  static_cast<PESFilter*>(self)->ReaderLoop();
  return nullptr;
}

void PESFilter::ReaderLoop() {
  log("PESFilter thread started...\n");
  assembled = 0;
  expectedLength = 0;
  while (!stopRequested_.load(std::memory_order_acquire)) ReaderPass();
}

bool PESFilter::ReaderPass() {
  int64_t now = 0;
  ReadSTC(now);
  ReleaseDuePacket();
  // The decoder may have stopped the filter: nothing of it is ours now.
  if (stopRequested_.load(std::memory_order_acquire)) return false;
  ClearStep(now);

  uint8_t chunk[kChunkSize];
  const ssize_t got = platform_.io->Read(fd, chunk, sizeof chunk);
  if (got <= 0) {
    platform_.clock->Sleep(kIdleSleepMicros);
    return false;
  }
  // Never trust a read to stay within what was asked for.
  Reassemble(chunk, static_cast<int>(std::min<ssize_t>(got, kChunkSize)));
  return true;
}

void PESFilter::Reassemble(const uint8_t* chunk, int count) {
  int i = 0;
  while (i < count) {
    if (assembled < 4) {
      // Match the start code one byte at a time. The matched part is kept in
      // `assembly`, so a start code cut by the end of a read is completed by
      // the next read, and nothing past the bytes read is ever looked at.
      const uint8_t b = chunk[i++];
      if (b == kStartCode[assembled]) {
        assembly[assembled++] = b;
      } else if (b == 0x00) {
        // The byte may still begin a start code: after 00 00 a third 00
        // leaves 00 00 matched, after 00 00 01 it leaves one 00.
        assembled = assembled == 2 ? 2 : 1;
      } else {
        assembled = 0;
      }
      continue;
    }
    if (assembled < 6) {
      assembly[assembled++] = chunk[i++];
      if (assembled == 6) expectedLength = ((assembly[4] << 8) | assembly[5]) + 6;
      continue;
    }
    // `assembly` holds the largest length the header can announce, so this
    // copy cannot run past it.
    const int n = std::min(expectedLength - assembled, count - i);
    std::memcpy(assembly + assembled, chunk + i, static_cast<size_t>(n));
    assembled += n;
    i += n;
    SettleAssembly();
  }
}

void PESFilter::SettleAssembly() {
  while (assembled >= 6) {
    const int cut = StructuralEnd();
    if (cut < 0 && assembled < expectedLength) return;
    const int end = cut >= 0 ? cut : expectedLength;
    if (cut >= 0) {
      // A bit error in the length field would otherwise swallow every
      // following packet until the bogus length is filled.
      log("PES length %d disagrees with the stream: packet ends after %d bytes.\n",
          expectedLength - 6, cut);
    }
    QueuePacket(assembly, end);
    DropAssembled(end);
  }
}

int PESFilter::StructuralEnd() const {
  if (assembled < 9) return -1;
  const int header = assembly[8];
  const int identifier = 9 + header;
  if (identifier >= assembled) return -1;
  const int limit = std::min(assembled, expectedLength);
  auto startsHere = [&](int at) {
    return at + 4 <= assembled && std::memcmp(assembly + at, kStartCode, 4) == 0;
  };
  const uint8_t id = assembly[identifier];
  if (header == kTeletextHeaderLength && id >= 0x10 && id <= 0x1F) {
    for (int at = kTeletextUnit; at < limit; at += kTeletextUnit) {
      if (startsHere(at)) return at;
    }
    return -1;
  }
  if (id != kDvbDataIdentifier) return -1;
  // Walk the segments: where their chain and the end marker (with any
  // stuffing after it) end, the packet ends; a start code inside a segment
  // is pixel data and never counts.
  int at = identifier + 2;
  while (at < limit && assembly[at] == 0x0F) {
    if (at + 6 > assembled) return -1;
    at += 6 + ((assembly[at + 4] << 8) | assembly[at + 5]);
  }
  while (at < limit && assembly[at] == 0xFF) ++at;
  return at < limit && startsHere(at) ? at : -1;
}

void PESFilter::DropAssembled(int count) {
  int from = count;
  // Keep the tail from its first start code on, or from a start code that
  // the bytes so far only begin.
  while (from < assembled) {
    const int have = std::min(4, assembled - from);
    if (std::memcmp(assembly + from, kStartCode, static_cast<size_t>(have)) == 0) break;
    ++from;
  }
  assembled -= from;
  if (assembled > 0) std::memmove(assembly, assembly + from, static_cast<size_t>(assembled));
  if (assembled >= 6) expectedLength = ((assembly[4] << 8) | assembly[5]) + 6;
}

void PESFilter::ClearStep(int64_t now) {
  if (clearDeadline == 0 || now <= clearDeadline) return;
  clearDeadline = 0;
  if (decoder == nullptr) return;
  LogTimestamp("SYNC@", now);
  decoder->clear(now);
}

int PESFilter::ReadSTC(int64_t& stc) {
  STCRequest request{};
  request.num = 0;
  request.base = 1;
  if (platform_.io->Ioctl(fd, DMX_GET_STC, &request) < 0) {
    stc = 0;
    return -1;
  }
  stc = static_cast<int64_t>(request.stc);
  return 1;
}

int PESFilter::GetPTS(const uint8_t* data, uint32_t size, int64_t& pts) {
  pts = 0;
  // The flags live in byte 7 and the PTS in bytes 9 to 13; a shorter packet
  // has no room for one, whatever its flag bits claim.
  if (data == nullptr || size < 14 || (data[7] & 0x80) == 0) return -1;
  pts = (static_cast<int64_t>((data[9] >> 1) & 0x07) << 30) |
        (static_cast<int64_t>(data[10]) << 22) | (static_cast<int64_t>(data[11] >> 1) << 15) |
        (static_cast<int64_t>(data[12]) << 7) | static_cast<int64_t>(data[13] >> 1);
  return 0;
}

void PESFilter::QueuePacket(const uint8_t* data, int size) {
  if (data == nullptr || size < 0) return;
  int64_t time = 0;
  if (GetPTS(data, static_cast<uint32_t>(size), time) != 0) {
    int64_t stc = 0;
    ReadSTC(stc);
    time = stc;
    if (recDelay != 0) {
      // Widened before the product: a long delay must not wrap into the past.
      time = stc + static_cast<int64_t>(recDelay) * kTicksPerSecond;
      log("ZUVA: Added RecDelay!\n");
      LogTimestamp("PTS     ", time);
      LogTimestamp("STC     ", stc);
    }
  }
  // Room is made before the packet is added, so the queue never holds more
  // than its bounds. The oldest packet goes: when the head waits for a time
  // that does not come, it is the one that holds everything else back.
  while (!queue.empty() && (queue.size() >= kMaxQueuedPackets ||
                            queuedBytes_ + static_cast<size_t>(size) > kMaxQueuedBytes)) {
    if (!dropping_) {
      log("PES queue full (%zu packets, %zu bytes): dropping the oldest packets.\n",
          queue.size(), queuedBytes_);
      dropping_ = true;
    }
    queuedBytes_ -= queue.front()->size;
    DestroyPacket(queue.front());
    queue.pop_front();
  }
  PESPacket* packet = new PESPacket();
  packet->pts = time;
  packet->data = new uint8_t[static_cast<size_t>(size)];
  if (size > 0) std::memcpy(packet->data, data, static_cast<size_t>(size));
  packet->size = static_cast<uint32_t>(size);
  queue.push_back(packet);
  queuedBytes_ += packet->size;
  g_livePackets.fetch_add(1, std::memory_order_relaxed);
  RaiseTo(g_highWaterPackets, queue.size());
  RaiseTo(g_highWaterBytes, queuedBytes_);
}

void PESFilter::ReleaseDuePacket() {
  if (queue.empty()) return;
  int64_t stc = 0;
  const bool clockRead = ReadSTC(stc) == 1;
  PESPacket* head = queue.front();
  // Without a clock nothing can be far ahead; the packet waits for it. A
  // head that waits while the packet sent after it is due has a damaged
  // time as surely as one a minute ahead: neither may hold the rest back.
  if (head->pts > stc) {
    const bool farAhead = clockRead && head->pts - stc > kMaxLeadTicks;
    const bool overtaken = queue.size() > 1 && queue[1]->pts <= stc && queue[1]->pts < head->pts;
    if (!farAhead && !overtaken) return;
  }
  queue.pop_front();
  queuedBytes_ -= head->size;
  dropping_ = false;
  if (decoder != nullptr) {
    const int32_t duration = static_cast<int32_t>(decoder->processPES(*head));
    // Widened before the product, so no duration wraps into a past deadline.
    clearDeadline = duration != 0 ? stc + static_cast<int64_t>(duration) * kTicksPerMilli : 0;
  }
  DestroyPacket(head);
}

void PESFilter::DiscardQueue() {
  while (!queue.empty()) {
    DestroyPacket(queue.front());
    queue.pop_front();
  }
  queuedBytes_ = 0;
  dropping_ = false;
}

void PESFilter::ReapExitedThread() {
  if (exited_ == 0 || pthread_equal(exited_, pthread_self())) return;
  pthread_join(exited_, nullptr);
  exited_ = 0;
}

void PESFilter::LogTimestamp(const char* label, int64_t t) {
  const int64_t r = t % kTicksPerSecond;
  const int32_t s = static_cast<int32_t>(t / kTicksPerSecond);
  const int32_t m = s / 60;
  const int32_t h = m / 60;
  const int32_t d = h / 24;
  log("%s: %016llx %d:%02d:%02d:%02d:%05d\n", label, static_cast<unsigned long long>(t), d,
      h - 24 * d, m - 60 * h, s - 60 * m, static_cast<int>(r));
}

int PESFilter::LivePackets() { return g_livePackets.load(std::memory_order_relaxed); }

size_t PESFilter::QueueHighWaterPackets() {
  return g_highWaterPackets.load(std::memory_order_relaxed);
}

size_t PESFilter::QueueHighWaterBytes() { return g_highWaterBytes.load(std::memory_order_relaxed); }

void PESFilter::ResetQueueHighWater() {
  g_highWaterPackets.store(0, std::memory_order_relaxed);
  g_highWaterBytes.store(0, std::memory_order_relaxed);
}

void PESFilter::DestroyPacket(PESPacket* packet) {
  delete[] packet->data;
  delete packet;
  g_livePackets.fetch_sub(1, std::memory_order_relaxed);
}

void PESFilter::CloseDevice() {
  platform_.io->Close(fd);
  fd = -1;
}
