#include "sim/ts_recording.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {
constexpr int64_t kWrap = int64_t{1} << 33;
// Recordings larger than this are refused rather than read into memory.
constexpr long kMaxRecordingBytes = 1L << 30;

// One time stamp at a packet.
struct Anchor {
  size_t index;
  int64_t value;
};

// Spreads anchor values over all `count` packets: unwraps them, keeps them
// from going backwards and interpolates between neighbours by position.
std::vector<int64_t> PlacesFromAnchors(std::vector<Anchor> anchors, size_t count) {
  std::vector<int64_t> places(count, 0);
  if (anchors.empty()) return places;
  for (size_t k = 1; k < anchors.size(); ++k) {
    int64_t delta = (anchors[k].value - anchors[k - 1].value) % kWrap;
    if (delta < 0) delta += kWrap;
    if (delta >= kWrap / 2) delta = 0;  // a step backwards holds the clock
    anchors[k].value = anchors[k - 1].value + delta;
  }
  size_t next = 0;
  for (size_t i = 0; i < count; ++i) {
    while (next < anchors.size() && anchors[next].index <= i) ++next;
    if (next == 0) {
      places[i] = anchors.front().value;
    } else if (next == anchors.size()) {
      places[i] = anchors.back().value;
    } else {
      const Anchor& a = anchors[next - 1];
      const Anchor& b = anchors[next];
      places[i] = a.value + (b.value - a.value) * static_cast<int64_t>(i - a.index) /
                                static_cast<int64_t>(b.index - a.index);
    }
  }
  return places;
}
}  // namespace

bool PacketPayload(const uint8_t* packet, size_t* offset, size_t* size) {
  const int control = (packet[3] >> 4) & 0x03;
  if ((control & 0x01) == 0) return false;
  size_t start = 4;
  if (control & 0x02) start = 5 + packet[4];
  if (start >= TSRecording::kPacketSize) return false;
  *offset = start;
  *size = TSRecording::kPacketSize - start;
  return true;
}

int64_t PacketPCR(const uint8_t* packet) {
  if ((packet[3] & 0x20) == 0 || packet[4] < 7 || (packet[5] & 0x10) == 0) return -1;
  const uint8_t* p = packet + 6;
  return (static_cast<int64_t>(p[0]) << 25) | (static_cast<int64_t>(p[1]) << 17) |
         (static_cast<int64_t>(p[2]) << 9) | (static_cast<int64_t>(p[3]) << 1) | (p[4] >> 7);
}

int64_t PacketPTS(const uint8_t* packet) {
  if ((packet[1] & 0x40) == 0 || (packet[1] & 0x80) != 0) return -1;
  size_t offset = 0;
  size_t size = 0;
  if (!PacketPayload(packet, &offset, &size) || size < 14) return -1;
  const uint8_t* b = packet + offset;
  if (b[0] != 0 || b[1] != 0 || b[2] != 1 || (b[7] & 0x80) == 0) return -1;
  return (static_cast<int64_t>((b[9] >> 1) & 0x07) << 30) | (static_cast<int64_t>(b[10]) << 22) |
         (static_cast<int64_t>(b[11] >> 1) << 15) | (static_cast<int64_t>(b[12]) << 7) |
         (b[13] >> 1);
}

uint16_t TSRecording::Pid(size_t index) const {
  const uint8_t* p = Packet(index);
  return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
}

const std::vector<uint32_t>& TSRecording::PacketsOf(uint16_t pid) const {
  static const std::vector<uint32_t> kNone;
  const auto it = byPid_.find(pid);
  return it == byPid_.end() ? kNone : it->second;
}

bool TSRecording::Load(const std::string& path, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes;
  bool ok = std::fseek(file, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(file) : -1;
  if (size < 0 || size > kMaxRecordingBytes) ok = false;
  if (ok) {
    std::rewind(file);
    bytes.resize(static_cast<size_t>(size));
    ok = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
  }
  std::fclose(file);
  if (!ok) {
    if (error) *error = size > kMaxRecordingBytes ? "file too large" : "read error";
    return false;
  }
  return LoadBytes(bytes, error);
}

bool TSRecording::LoadBytes(const std::vector<uint8_t>& bytes, std::string* error) {
  data_.clear();
  places_.clear();
  byPid_.clear();
  hasPcr_ = false;
  skipped_ = 0;

  size_t pos = 0;
  const size_t n = bytes.size();
  while (pos + kPacketSize <= n) {
    // A sync byte counts only when the next packet (if any) also starts with one.
    const bool synced =
        bytes[pos] == 0x47 && (pos + kPacketSize == n || bytes[pos + kPacketSize] == 0x47 ||
                               pos + 2 * kPacketSize > n);
    if (!synced) {
      ++pos;
      ++skipped_;
      continue;
    }
    data_.insert(data_.end(), bytes.begin() + static_cast<long>(pos),
                 bytes.begin() + static_cast<long>(pos + kPacketSize));
    pos += kPacketSize;
  }
  skipped_ += n - pos;
  const size_t count = data_.size() / kPacketSize;
  if (count == 0) {
    if (error) *error = "no transport stream packets found";
    return false;
  }
  places_.assign(count, 0);
  for (size_t i = 0; i < count; ++i) byPid_[Pid(i)].push_back(static_cast<uint32_t>(i));
  ComputePlaces();
  return true;
}

void TSRecording::ComputePlaces() {
  const size_t count = PacketCount();
  std::map<uint16_t, std::vector<Anchor>> pcrs;
  std::map<uint16_t, std::vector<Anchor>> ptss;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = Packet(i);
    const int64_t pcr = PacketPCR(p);
    if (pcr >= 0) pcrs[Pid(i)].push_back({i, pcr});
    const int64_t pts = PacketPTS(p);
    if (pts >= 0) ptss[Pid(i)].push_back({i, pts});
  }
  hasPcr_ = !pcrs.empty();
  const auto& pool = hasPcr_ ? pcrs : ptss;
  const std::vector<Anchor>* best = nullptr;
  for (const auto& entry : pool) {
    if (best == nullptr || entry.second.size() > best->size()) best = &entry.second;
  }
  places_ = PlacesFromAnchors(best ? *best : std::vector<Anchor>(), count);
}
