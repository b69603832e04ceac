#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "common/subtitle.h"

class FrameBuffer;

// A decoder that remembers every packet the PES filter handed it (stamp, bytes,
// STC at arrival) and how often it was cleared, and shows every packet for the
// duration set. With a FrameBuffer it "draws" under its lock as real decoders
// do. Set it up before the filter starts.
class RecordingDecoder : public Subtitle {
 public:
  struct Packet {
    int64_t pts;
    std::vector<uint8_t> bytes;  // empty unless bytes are kept
    int64_t stc;
  };

  uint32_t processPES(const PESPacket& packet) override;
  uint32_t clear(const int64_t& stc) override;

  // Where "the STC at arrival" is read from; unset reads 0.
  void SetStcSource(std::function<int64_t()> source) { stcSource_ = std::move(source); }
  void SetDurationMillis(uint32_t duration) { duration_ = duration; }
  void SetKeepBytes(bool keep) { keepBytes_ = keep; }
  void SetFrameBuffer(FrameBuffer* frameBuffer) { frameBuffer_ = frameBuffer; }

  std::vector<Packet> Packets() const { return Locked([&] { return packets_; }); }
  size_t PacketCount() const { return Locked([&] { return packets_.size(); }); }
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
  uint32_t duration_ = 0;
  bool keepBytes_ = true;
  size_t clearCount_ = 0;
  FrameBuffer* frameBuffer_ = nullptr;
  std::vector<Packet> packets_;
  std::atomic<int> insideLock_{0};
  int64_t canvas_ = 0;
};
