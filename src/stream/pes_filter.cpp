#include "stream/pes_filter.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "stream/pmt_loader.h"

namespace {

// Start code of private_stream_1, the only stream id subtitles come in.
constexpr uint8_t kStartCode[4] = {0x00, 0x00, 0x01, 0xBD};
constexpr int64_t kTicksPerSecond = 90000;
constexpr int64_t kTicksPerMilli = 90;

std::atomic<int> g_livePackets{0};

}  // namespace

PESFilter::PESFilter(const Platform& platform) : platform_(platform) {
  log("PESFilter created.\n");
}

PESFilter::~PESFilter() {
  // The thread works on this object; it must be gone before the object is.
  if (thread != 0 || fd != -1) Stop();
  while (!queue.empty()) {
    DestroyPacket(queue.front());
    queue.pop_front();
  }
}

bool PESFilter::Start(int pid, Subtitle* decoder_, int recDelay_) {
  log("Filter starting: 0x%x\n", pid);
  // A second Start without a Stop would orphan the running thread and the open
  // handle; end the previous run first.
  if (thread != 0 || fd != -1) {
    if (!Stop()) return false;
  }
  decoder = decoder_;
  recDelay = recDelay_;

  fd = platform_.io->Open(platform_.paths.demux.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    fd = -1;
    log("Failed open(DMX)\n");
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
  params.input = 0;    // from the front end
  params.output = 1;   // tap: the packets come to our reads
  params.pesType = 5;  // other: not routed to a hardware decoder
  params.flags = 4;    // start at once
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
    // A decoder that stops the filter from inside its own call cannot wait
    // for its own thread; the thread ends after that call, and the next Stop
    // from outside joins it.
    if (pthread_equal(thread, pthread_self()) || pthread_join(thread, nullptr) != 0) {
      log("Failed pthread_join()\n");
      return false;
    }
    thread = 0;
  }
  log("Clean up PES queue.\n");
  while (!queue.empty()) {
    DestroyPacket(queue.front());
    queue.pop_front();
  }
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
    if (assembled == expectedLength) {
      QueuePacket(assembly, expectedLength);
      assembled = 0;
    }
  }
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
  PESPacket* packet = new PESPacket();
  packet->pts = time;
  packet->data = new uint8_t[static_cast<size_t>(size)];
  if (size > 0) std::memcpy(packet->data, data, static_cast<size_t>(size));
  packet->size = static_cast<uint32_t>(size);
  queue.push_back(packet);
  g_livePackets.fetch_add(1, std::memory_order_relaxed);
}

void PESFilter::ReleaseDuePacket() {
  if (queue.empty()) return;
  int64_t stc = 0;
  ReadSTC(stc);
  PESPacket* head = queue.front();
  if (head->pts > stc) return;
  queue.pop_front();
  if (decoder != nullptr) {
    const int32_t duration = static_cast<int32_t>(decoder->processPES(*head));
    // Widened before the product, so no duration wraps into a past deadline.
    clearDeadline = duration != 0 ? stc + static_cast<int64_t>(duration) * kTicksPerMilli : 0;
  }
  DestroyPacket(head);
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

void PESFilter::DestroyPacket(PESPacket* packet) {
  delete[] packet->data;
  delete packet;
  g_livePackets.fetch_sub(1, std::memory_order_relaxed);
}

void PESFilter::CloseDevice() {
  platform_.io->Close(fd);
  fd = -1;
}
