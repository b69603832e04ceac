#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "common/pes_packet.h"
#include "common/subtitle.h"
#include "platform/box_dmx.h"
#include "platform/platform.h"

// Delivers the PES packets of one PID to a decoder when the system time clock
// reaches their presentation time, from a reader thread of its own.
//
// The main thread calls Start and Stop; everything else runs on the reader
// thread while it exists. The reader operations are public so that a test can
// drive single passes without a thread (see SetThreadCreator).
class PESFilter {
 public:
  // Largest packet the 16-bit length field can announce, header included.
  static constexpr int kMaxPacketSize = 0xFFFF + 6;
  static constexpr int kChunkSize = 16384;
  static constexpr int kDriverBufferSize = 65536;
  static constexpr uint32_t kIdleSleepMicros = 10000;
  // Bounds of the queue. Packets normally wait well under a second (data
  // arrive ahead of their time by about that much): teletext brings some 25
  // packets a second, a DVB display set a handful of packets of at most a
  // few tens of kilobytes. 512 packets are twenty seconds of teletext and
  // 2 MiB far more than any real display set needs, and still a small part
  // of a box with 32 to 64 MB. When either is reached the oldest packet goes.
  static constexpr size_t kMaxQueuedPackets = 512;
  static constexpr size_t kMaxQueuedBytes = 2u << 20;
  // A PTS this far ahead of the clock is a damaged PTS or a clock that is
  // wrong, not a packet that is early: it is shown at once rather than
  // holding every later packet back until the clock gets there.
  static constexpr int64_t kMaxLeadTicks = 60 * 90000;

  explicit PESFilter(const Platform& platform = Platform::Default());
  PESFilter(const PESFilter&) = delete;
  PESFilter& operator=(const PESFilter&) = delete;
  // Stops a filter that is still running, so no reader thread outlives it.
  virtual ~PESFilter();

  bool Start(int pid, Subtitle* decoder, int recDelay);
  bool Stop();

  // --- Reader thread ---------------------------------------------------------
  // The thread body: passes until Stop asks it to end.
  void ReaderLoop();
  // One pass: STC, release, clear, one read and its reassembly (or the idle
  // sleep). Returns true when the read delivered bytes.
  bool ReaderPass();
  // Feeds bytes of the demux stream into the packet reassembly.
  void Reassemble(const uint8_t* chunk, int count);
  // Calls the decoder's clear once the STC `now` has passed the deadline.
  void ClearStep(int64_t now);

  // --- Timing ----------------------------------------------------------------
  // 1 and the STC on success; -1 and 0 when the request fails.
  int ReadSTC(int64_t& stc);
  // 0 and the 33-bit PTS when the packet carries one; -1 and 0 when it does
  // not, or when it is too short to hold one.
  static int GetPTS(const uint8_t* data, uint32_t size, int64_t& pts);
  // Stamps a copy of the packet bytes with its presentation time and appends
  // it to the queue.
  void QueuePacket(const uint8_t* data, int size);
  // Hands the head of the queue to the decoder once the STC has reached it.
  void ReleaseDuePacket();
  static void LogTimestamp(const char* label, int64_t t);

  // --- Inspection (tests; only while no reader thread runs) ------------------
  size_t QueuedPackets() const { return queue.size(); }
  size_t QueuedBytes() const { return queuedBytes_; }
  int64_t ClearDeadline() const { return clearDeadline; }
  int Fd() const { return fd; }
  bool HasThread() const { return thread != 0; }
  // Packets created and not yet destroyed, over all filters of the process.
  static int LivePackets();
  // The most packets and bytes any filter of the process held queued.
  static size_t QueueHighWaterPackets();
  static size_t QueueHighWaterBytes();
  static void ResetQueueHighWater();

  // How the reader thread is created; pthread_create unless a test replaces
  // it (to provoke a failure, or to run passes by hand with no thread).
  using ThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  void SetThreadCreator(ThreadCreator creator) { createThread_ = creator; }

 private:
  static void* ThreadEntry(void* self);
  void DestroyPacket(PESPacket* packet);
  void CloseDevice();
  // Joins a reader thread that stopped its own filter (see Stop), from any
  // other thread.
  void ReapExitedThread();
  void DiscardQueue();
  // Queues whatever complete packets the assembly holds, ending a packet
  // early where the stream's structure shows the next one has begun.
  void SettleAssembly();
  // Where, before its announced end, the packet in the assembly has
  // visibly ended because the next one begins; -1 when nothing shows that.
  int StructuralEnd() const;
  // Drops the first `count` assembled bytes and keeps what follows from
  // its first (possibly partial) start code on.
  void DropAssembled(int count);

  std::deque<PESPacket*> queue;
  Subtitle* decoder = nullptr;
  pthread_t thread = 0;
  uint8_t assembly[kMaxPacketSize] = {};
  int32_t assembled = 0;
  int32_t expectedLength = 0;
  int fd = -1;
  int32_t recDelay = 0;
  int64_t clearDeadline = 0;
  size_t queuedBytes_ = 0;
  bool dropping_ = false;  // the queue overflowed and no packet was released since
  // A reader thread that stopped its own filter: it ends on its own and is
  // joined by the next Start, Stop or the destructor on another thread.
  pthread_t exited_ = 0;

  std::atomic<bool> stopRequested_{false};
  ThreadCreator createThread_ = pthread_create;
  Platform platform_;
};
