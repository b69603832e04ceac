#include "support/recording_decoder.h"

#include "display/frame_buffer.h"

void RecordingDecoder::SetStcSource(std::function<int64_t()> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  stcSource_ = std::move(source);
}

void RecordingDecoder::ScriptDurations(std::vector<uint32_t> durations, uint32_t fallback) {
  std::lock_guard<std::mutex> lock(mutex_);
  durations_.assign(durations.begin(), durations.end());
  fallback_ = fallback;
}

void RecordingDecoder::SetPacketHook(std::function<void(const PESPacket&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  packetHook_ = std::move(hook);
}

void RecordingDecoder::SetClearHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearHook_ = std::move(hook);
}

void RecordingDecoder::Draw() {
  if (frameBuffer_ == nullptr) return;
  frameBuffer_->Lock();
  insideLock_.fetch_add(1);
  ++canvas_;
  insideLock_.fetch_sub(1);
  frameBuffer_->Unlock();
}

uint32_t RecordingDecoder::processPES(const PESPacket& packet) {
  uint32_t duration = 0;
  std::function<void(const PESPacket&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++packetCount_;
    if (!countOnly_) {
      Packet record{packet.pts, packet.size, {}, stcSource_ ? stcSource_() : 0,
                    std::this_thread::get_id()};
      if (keepBytes_) record.bytes.assign(packet.data, packet.data + packet.size);
      packets_.push_back(std::move(record));
    }
    if (!durations_.empty()) {
      duration = durations_.front();
      durations_.pop_front();
    } else {
      duration = fallback_;
    }
    hook = packetHook_;
  }
  Draw();
  if (hook) hook(packet);
  return duration;
}

uint32_t RecordingDecoder::clear(const int64_t& stc) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++clearCount_;
    if (!countOnly_) {
      clears_.push_back({stc, stcSource_ ? stcSource_() : 0, std::this_thread::get_id()});
    }
    hook = clearHook_;
  }
  Draw();
  if (hook) hook();
  return 0;
}

std::vector<RecordingDecoder::Packet> RecordingDecoder::Packets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}

std::vector<RecordingDecoder::Clear> RecordingDecoder::Clears() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clears_;
}

size_t RecordingDecoder::PacketCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packetCount_;
}

size_t RecordingDecoder::ClearCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clearCount_;
}
