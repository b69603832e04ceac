// The demultiplexer's PES byte stream through reassembly: PESFilter reading
// fuzzer-chosen chunks, queueing, releasing against the system time clock and
// clearing. The reader passes run on this thread, one after the other, as the
// reader thread would run them.
//
// Input: byte 0 chooses the chunk sizes the reads deliver (0: as large as the
// filter asks for; otherwise sizes from 1 to 64 times the byte, varying from
// read to read), then the byte stream.

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"

namespace {

// Serves the stream in chunks; its clock runs far ahead of any PTS and moves
// on 100 s per reading, so every packet is due and every clear fires.
class ChunkDemux : public SimDevice {
 public:
  ChunkDemux(const uint8_t* data, size_t size, uint8_t seed)
      : data_(data), size_(size), seed_(seed), state_(seed) {}

  std::shared_ptr<SimHandle> Open(int) override { return std::make_shared<Handle>(this); }
  bool Drained() const { return at_ >= size_; }

 private:
  class Handle : public SimHandle {
   public:
    explicit Handle(ChunkDemux* owner) : owner_(owner) {}
    ssize_t Read(void* buffer, size_t count) override { return owner_->Read(buffer, count); }
    int Ioctl(unsigned long request, void* arg) override {
      if (request == DMX_GET_STC) {
        auto* stc = static_cast<STCRequest*>(arg);
        stc->stc = (uint64_t{1} << 34) + owner_->stcReads_++ * 9000000ull;
      }
      return 0;
    }

   private:
    ChunkDemux* owner_;
  };

  ssize_t Read(void* buffer, size_t count) {
    if (at_ >= size_) {
      errno = EAGAIN;
      return -1;
    }
    size_t n = count;
    if (seed_ != 0) {
      state_ = state_ * 1103515245u + 12345u;
      n = 1 + (state_ >> 8) % (64u * seed_);
    }
    if (n > count) n = count;
    if (n > size_ - at_) n = size_ - at_;
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  uint8_t seed_;
  uint32_t state_;
  uint64_t stcReads_ = 0;
};

// Holds every delivered packet against what reassembly promises.
class CheckingDecoder : public Subtitle {
 public:
  uint32_t processPES(const PESPacket& packet) override {
    FUZZ_CHECK(packet.data != nullptr && packet.size >= 6);
    const uint8_t* d = packet.data;
    FUZZ_CHECK(d[0] == 0x00 && d[1] == 0x00 && d[2] == 0x01 && d[3] == 0xBD);
    // Whole as its length field says, or cut short where the next packet
    // visibly starts after a damaged length field; never longer.
    FUZZ_CHECK(packet.size <= ((static_cast<uint32_t>(d[4]) << 8) | d[5]) + 6u);
    // Touch every byte, so a short buffer shows up at once.
    uint32_t sum = 0;
    for (uint32_t i = 0; i < packet.size; ++i) sum += d[i];
    ++packets;
    // Ask for a clear now and then, up to the longest a decoder asks for.
    return (sum & 3) == 0 ? (sum % 256) * 1000u : 0u;
  }
  uint32_t clear(const int64_t&) override {
    ++clears;
    return 0;
  }
  int packets = 0;
  int clears = 0;
};

int NoThread(pthread_t* thread, const pthread_attr_t*, void* (*)(void*), void*) {
  *thread = 0;
  return 0;
}

class NoSleep : public Clock {
 public:
  void Sleep(uint32_t) override {}
  int64_t NowMicros() override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  if (size < 1) return 0;
  const int livePackets = PESFilter::LivePackets();

  ChunkDemux demux(data + 1, size - 1, data[0]);
  SimDeviceIO io;
  NoSleep clock;
  Platform platform;
  platform.paths = Paths::Under(fuzz::Scratch().Path());
  platform.io = &io;
  platform.clock = &clock;
  io.Attach(platform.paths.demux, &demux);

  CheckingDecoder decoder;
  {
    PESFilter filter(platform);
    filter.SetThreadCreator(&NoThread);
    FUZZ_CHECK(filter.Start(0x42C, &decoder, 0));
    // One release per pass: after the stream ends, passes until the queue is
    // empty, and one more for the last clear. Every pass either reads bytes
    // or releases a packet, so the passes are bounded by the input.
    size_t passes = 0;
    while (!demux.Drained() || filter.QueuedPackets() > 0) {
      filter.ReaderPass();
      FUZZ_CHECK(++passes <= 2 * size + 2);
    }
    filter.ReaderPass();
    FUZZ_CHECK(filter.QueuedPackets() == 0);
    FUZZ_CHECK(filter.Stop());
    FUZZ_CHECK(filter.Fd() == -1);
  }
  FUZZ_CHECK(io.OpenHandles() == 0);
  FUZZ_CHECK(PESFilter::LivePackets() == livePackets);
  return 0;
}
