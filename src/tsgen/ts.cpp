#include "tsgen/ts.h"

#include <algorithm>

namespace tsgen {

void AppendPacket(std::vector<uint8_t>& out, uint16_t pid, bool unitStart, uint8_t& cc,
                  int64_t pcr, const uint8_t* payload, size_t size) {
  const size_t maxPayload = pcr >= 0 ? 176 : 184;
  if (size > maxPayload) size = maxPayload;
  const size_t adaptation = 184 - size;  // length byte included
  const uint8_t control = size == 0 ? 0x20 : (adaptation > 0 ? 0x30 : 0x10);
  const size_t start = out.size();
  out.resize(start + kTSPacketSize, 0xFF);
  uint8_t* p = out.data() + start;
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
  p[2] = static_cast<uint8_t>(pid);
  p[3] = static_cast<uint8_t>(control | (cc & 0x0F));
  if (size > 0) cc = static_cast<uint8_t>((cc + 1) & 0x0F);
  if (adaptation > 0) {
    p[4] = static_cast<uint8_t>(adaptation - 1);
    if (adaptation > 1) p[5] = pcr >= 0 ? 0x10 : 0x00;
    if (pcr >= 0) {
      const uint64_t base = static_cast<uint64_t>(pcr) & 0x1FFFFFFFFULL;
      p[6] = static_cast<uint8_t>(base >> 25);
      p[7] = static_cast<uint8_t>(base >> 17);
      p[8] = static_cast<uint8_t>(base >> 9);
      p[9] = static_cast<uint8_t>(base >> 1);
      p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);
      p[11] = 0x00;
    }
  }
  std::copy(payload, payload + size, p + 4 + adaptation);
}

std::vector<uint8_t> PacketizeSections(uint16_t pid, const std::vector<std::vector<uint8_t>>& sections,
                                       uint8_t& cc) {
  std::vector<uint8_t> stream;
  std::vector<size_t> starts;
  for (const auto& s : sections) {
    starts.push_back(stream.size());
    stream.insert(stream.end(), s.begin(), s.end());
  }
  std::vector<uint8_t> out;
  size_t pos = 0;
  size_t nextStart = 0;  // index into starts
  uint8_t payload[184];
  while (pos < stream.size()) {
    while (nextStart < starts.size() && starts[nextStart] < pos) ++nextStart;
    const size_t remain = stream.size() - pos;
    const bool startHere = nextStart < starts.size() && starts[nextStart] - pos < 183;
    size_t n = 0;
    size_t take = 0;
    if (startHere) {
      payload[n++] = static_cast<uint8_t>(starts[nextStart] - pos);
      take = std::min<size_t>(183, remain);
    } else if (nextStart < starts.size() && starts[nextStart] - pos == 183) {
      // The next section would begin at the very last byte: end this packet
      // with one stuffing byte and start the section in the next one.
      take = 183;
    } else {
      take = std::min<size_t>(184, remain);
    }
    std::copy(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + take),
              payload + n);
    n += take;
    std::fill(payload + n, payload + 184, 0xFF);
    AppendPacket(out, pid, startHere, cc, -1, payload, 184);
    pos += take;
  }
  return out;
}

std::vector<uint8_t> PacketizeSection(uint16_t pid, const std::vector<uint8_t>& section, uint8_t& cc) {
  return PacketizeSections(pid, {section}, cc);
}

std::vector<uint8_t> PacketizePES(uint16_t pid, const std::vector<uint8_t>& pes, uint8_t& cc,
                                  int64_t pcr) {
  std::vector<uint8_t> out;
  if (pes.empty()) return out;
  size_t pos = 0;
  bool first = true;
  do {
    const int64_t packetPcr = first ? pcr : -1;
    const size_t room = packetPcr >= 0 ? 176 : 184;
    const size_t take = std::min(room, pes.size() - pos);
    AppendPacket(out, pid, first, cc, packetPcr, pes.data() + pos, take);
    pos += take;
    first = false;
  } while (pos < pes.size());
  return out;
}

std::vector<uint8_t> PCRPacket(uint16_t pid, int64_t pcr, uint8_t cc) {
  std::vector<uint8_t> out;
  AppendPacket(out, pid, false, cc, pcr < 0 ? 0 : pcr, nullptr, 0);
  return out;
}

}  // namespace tsgen
