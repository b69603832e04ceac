#include "sim/section_assembler.h"

#include "sim/ts_recording.h"

void SectionAssembler::Reset() {
  partial_.clear();
  collecting_ = false;
  lastCc_ = -1;
}

void SectionAssembler::Drop() {
  if (collecting_ && !partial_.empty()) ++dropped_;
  partial_.clear();
  collecting_ = false;
}

void SectionAssembler::Push(const uint8_t* packet, const Sink& sink) {
  if (packet[0] != 0x47 || (packet[1] & 0x80) != 0) {
    Drop();
    return;
  }
  size_t offset = 0;
  size_t size = 0;
  if (!PacketPayload(packet, &offset, &size)) return;  // no payload: counter does not move

  const int cc = packet[3] & 0x0F;
  if (lastCc_ >= 0) {
    if (cc == lastCc_) return;  // a repeated packet carries nothing new
    if (cc != ((lastCc_ + 1) & 0x0F)) Drop();
  }
  lastCc_ = cc;

  const uint8_t* payload = packet + offset;
  if ((packet[1] & 0x40) == 0) {
    if (collecting_) Take(payload, size, sink);
    return;
  }
  const size_t pointer = payload[0];
  if (1 + pointer > size) {
    Drop();
    return;
  }
  // The bytes before the pointer's target finish the section in progress.
  if (collecting_) {
    Take(payload + 1, pointer, sink);
    if (collecting_) Drop();  // it should have ended exactly there
  }
  partial_.clear();
  collecting_ = true;
  Take(payload + 1 + pointer, size - 1 - pointer, sink);
}

void SectionAssembler::Take(const uint8_t* data, size_t size, const Sink& sink) {
  size_t pos = 0;
  while (collecting_ && pos < size) {
    if (partial_.empty() && data[pos] == 0xFF) {
      collecting_ = false;  // stuffing up to the end of the packet
      return;
    }
    // First the three bytes that hold the length, then the rest of the section.
    const size_t need =
        partial_.size() < 3 ? 3 : 3 + (((partial_[1] & 0x0F) << 8) | partial_[2]);
    const size_t want = need - partial_.size();
    const size_t chunk = want < size - pos ? want : size - pos;
    partial_.insert(partial_.end(), data + pos, data + pos + chunk);
    pos += chunk;
    if (partial_.size() < 3) continue;
    if (partial_.size() < 3u + (((partial_[1] & 0x0F) << 8) | partial_[2])) continue;
    sink(partial_.data(), partial_.size());
    partial_.clear();
  }
}
