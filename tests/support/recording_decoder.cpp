#include "support/recording_decoder.h"

#include "display/frame_buffer.h"

void RecordingDecoder::Draw() {
  if (frameBuffer_ == nullptr) return;
  frameBuffer_->Lock();
  insideLock_.fetch_add(1);
  ++canvas_;
  insideLock_.fetch_sub(1);
  frameBuffer_->Unlock();
}

uint32_t RecordingDecoder::processPES(const PESPacket& packet) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back({packet.pts, {}, stcSource_ ? stcSource_() : 0});
    if (keepBytes_) packets_.back().bytes.assign(packet.data, packet.data + packet.size);
  }
  Draw();
  return duration_;
}

uint32_t RecordingDecoder::clear(const int64_t&) {
  Locked([&] { ++clearCount_; });
  Draw();
  return 0;
}
