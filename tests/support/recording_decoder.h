#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "common/subtitle.h"

class FrameBuffer;

// A decoder that remembers every packet the PES filter handed it (stamp, bytes,
// STC at arrival) and how often it was cleared, answering with scripted
// durations. With a FrameBuffer it "draws" under its lock as real decoders do.
class RecordingDecoder : public Subtitle {
 public:
  struct Packet {
    int64_t pts;
    uint32_t size;
    std::vector<uint8_t> bytes;  // empty unless bytes are kept
    int64_t stc;
  };

  uint32_t processPES(const PESPacket& packet) override;
  uint32_t clear(const int64_t& stc) override;

  // Where "the STC at arrival" is read from; unset reads 0.
  void SetStcSource(std::function<int64_t()> source) { Locked([&] { stcSource_ = source; }); }
  // Durations to return, one per packet; once used up, `fallback` is returned.
  void ScriptDurations(std::vector<uint32_t> durations, uint32_t fallback = 0) {
    Locked([&] {
      durations_.assign(durations.begin(), durations.end());
      fallback_ = fallback;
    });
  }
  void SetKeepBytes(bool keep) { keepBytes_ = keep; }
  // Keep no per-packet record (long stress runs).
  void SetCountOnly(bool countOnly) { countOnly_ = countOnly; }
  void SetFrameBuffer(FrameBuffer* frameBuffer) { frameBuffer_ = frameBuffer; }

  std::vector<Packet> Packets() const { return Locked([&] { return packets_; }); }
  size_t PacketCount() const { return Locked([&] { return packetCount_; }); }
  size_t ClearCount() const { return Locked([&] { return clearCount_; }); }
  // Calls currently inside the framebuffer lock (0 whenever no reader runs).
  int InsideLock() const { return insideLock_.load(); }
  // Bumped under the framebuffer lock by every draw; read under it too.
  int64_t& SharedCanvas() { return canvas_; }

 private:
  template <typename F>
  auto Locked(F f) const -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }
  void Draw();

  mutable std::mutex mutex_;
  std::function<int64_t()> stcSource_;
  std::deque<uint32_t> durations_;
  uint32_t fallback_ = 0;
  bool keepBytes_ = true;
  bool countOnly_ = false;
  size_t packetCount_ = 0;
  size_t clearCount_ = 0;
  FrameBuffer* frameBuffer_ = nullptr;
  std::vector<Packet> packets_;
  std::atomic<int> insideLock_{0};
  int64_t canvas_ = 0;
};
