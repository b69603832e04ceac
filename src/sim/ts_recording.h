#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A recorded MPEG transport stream as a sequence of whole 188-byte packets,
// each with its place in the recording's own time (90 kHz ticks).
//
// A file is not held in memory: it is read in chunks of a megabyte that
// every reader shares, a few at a time, and the time line is kept as a short
// list of anchors, so memory stays flat however long the recording is. The
// file is read once: a thread of the recording reads the chunks, finds the
// packets and builds the time line a little ahead of where the readers are,
// and the readers look at the same chunks after it. A question about a packet the scan has not
// settled yet waits for it, so every answer is final and the same in every
// run, whatever the scan's pace.
//
// Places come from the PCR when the recording has one: the PID with the most
// PCRs in the first stretch of the recording is the clock. A recording
// without PCR takes the PTS of the PES stream with the most time-stamped
// packets. Packets between two time stamps are placed by their position in
// the file; before the first and after the last one at the pace of the
// nearest stretch, for no more than one typical clock step. A recording
// without any time stamp is placed by position at the nominal bit rate.
//
// Damaged clock values never stretch or stall time: a value that disagrees
// with its neighbours is ignored, and a real discontinuity (flagged, or a jump
// that the following values confirm) continues the time line without a gap.
// Places never decrease along the file and are unwrapped across the 33-bit
// roll-over.
class TSRecording {
 public:
  static constexpr size_t kPacketSize = 188;
  // A single service with its sound and subtitles.
  static constexpr int64_t kDefaultBitRate = 4000000;

  enum class ClockSource { kPCR, kPTS, kNone };

  TSRecording();
  ~TSRecording();
  TSRecording(const TSRecording&) = delete;
  TSRecording& operator=(const TSRecording&) = delete;

  // Bits per second at which a recording without time stamps is placed;
  // takes effect at the next load.
  void SetNominalBitRate(int64_t bitsPerSecond);
  int64_t NominalBitRate() const { return nominalBitRate_; }

  // Opens a recording and starts going through it, returning once its clock
  // is known (after its first stretch; a recording without time stamps is
  // gone through to its end first). Bytes between packets that do not start
  // with the sync byte are skipped, so a damaged or 192-byte-packet file still
  // loads. False, with a reason in `error`, when the file cannot be read or
  // holds no packet.
  bool Load(const std::string& path, std::string* error);
  // The same for a recording in memory (a copy is kept).
  bool LoadBytes(const std::vector<uint8_t>& bytes, std::string* error);
  // True after a successful load.
  bool Loaded() const { return loaded_; }

  // The number of packets; waits for the whole recording to be gone through.
  size_t PacketCount() const;
  // How many packets from the first on have their place settled, without
  // waiting; `complete` tells whether that is all of them.
  size_t PlacedCount(bool* complete) const;
  // Waits until the place of packet `index` is settled, or the recording
  // turns out to hold fewer packets.
  void WaitPlaced(size_t index) const;
  // A reader has come to packet `index`: the scan goes on ahead of it
  // without the reader waiting, where it would otherwise stop.
  void Nudge(size_t index) const;

  // The packet's place on the recording's unbroken time line.
  int64_t Place(size_t index) const;
  // What the recording's own clock read at the packet, less its place: it
  // changes only at a discontinuity, where the clock jumps but the time line
  // goes on.
  int64_t ClockOffset(size_t index) const;
  // The chunk a reader looks at, without a copy, for a reader that goes
  // through the recording in order; it moves along with the reader. Each
  // reader (a thread, a handle) has its own.
  struct Chunk;
  class Window {
   public:
    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

   private:
    friend class TSRecording;
    std::shared_ptr<const Chunk> chunk_;
    const uint8_t* data_ = nullptr;
    uint64_t start_ = 0;
    size_t length_ = 0;
    // The run of packets the reader is in, as far as it was known.
    uint64_t recording_ = 0;
    size_t runFirst_ = 0;
    size_t runEnd_ = 0;
    uint64_t runOffset_ = 0;
  };
  // The packets from `index` on that lie one after the other in `window`,
  // at most `most` of them: their count in `got` (at least 1 unless null).
  // Null past the end or where the file was cut short since the load.
  const uint8_t* PacketsIn(size_t index, size_t most, Window& window, size_t* got) const;

  // Hands the packets from `first` on, in file order, to `visit` until it
  // returns false or the recording ends.
  void Visit(size_t first, const std::function<bool(size_t index, const uint8_t* packet)>& visit) const;
  // The place of the first packet.
  int64_t FirstTimestamp() const { return firstPlace_; }
  bool HasPCR() const { return source_ == ClockSource::kPCR; }
  ClockSource Source() const { return source_; }
  // Clock values left out as damaged, and discontinuities bridged; these
  // and the skipped bytes wait for the whole recording.
  int IgnoredClockValues() const;
  int Discontinuities() const;
  // Bytes skipped while looking for packet boundaries.
  size_t SkippedBytes() const;
  // The recording's size, and how many bytes of it were read so far: what a
  // replay costs in reading.
  uint64_t Size() const { return size_; }
  uint64_t BytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }

  // One point of the time line: the packet at `index` is at `place`, and
  // from it on the clock reads `place + offset`.
  struct Anchor {
    size_t index;
    int64_t place;
    int64_t offset;
  };

 private:
  // A run of packets that follow each other without a gap in the source.
  struct Run {
    size_t first;
    uint64_t offset;
  };
  struct Progress;
  size_t ReadBytes(uint64_t offset, size_t size, uint8_t* out) const;
  // Bytes [offset, offset + size) through a window; null when not all there.
  const uint8_t* BytesIn(uint64_t offset, size_t size, Window& window) const;
  std::shared_ptr<const Chunk> ChunkAt(uint64_t start) const;
  // Waits for the whole recording to be gone through.
  const Progress& WholeFile() const;
  // Under the lock: the place of a packet whose place is settled.
  int64_t PlaceLocked(size_t index) const;
  // Under the lock: the first anchor past the packet, or their count.
  size_t AnchorAfterLocked(size_t index) const;
  bool Start(std::string* error);
  void Scan();
  void Reset();

  int fd_ = -1;
  bool loaded_ = false;
  mutable std::atomic<uint64_t> bytesRead_{0};
  std::vector<uint8_t> memory_;
  uint64_t size_ = 0;
  int64_t nominalBitRate_ = kDefaultBitRate;
  // Settled once Load returns.
  ClockSource source_ = ClockSource::kNone;
  int64_t firstPlace_ = 0;
  // What the scan has found so far, behind the lock in `progress_`.
  std::unique_ptr<Progress> progress_;
  std::thread scanner_;
};

// The 13-bit PID of a TS packet.
inline uint16_t PacketPid(const uint8_t* packet) {
  return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}
// The 33-bit PCR base of a TS packet in 90 kHz ticks, or -1 without a PCR.
int64_t PacketPCR(const uint8_t* packet);
// The PTS of the PES packet starting in this TS packet, or -1 when the packet
// starts none or its header carries no PTS.
int64_t PacketPTS(const uint8_t* packet);
// Offset of the payload in a TS packet and its size; false without payload
// (adaptation field only, reserved control value, or a lying field length).
bool PacketPayload(const uint8_t* packet, size_t* offset, size_t* size);
