#include "tsgen/recording.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "tsgen/ts.h"

namespace tsgen {

void RecordingBuilder::AddTable(uint16_t pid, std::vector<uint8_t> section) {
  tables_.push_back({pid, std::move(section)});
}

void RecordingBuilder::AddPES(uint16_t pid, int64_t sendTime, std::vector<uint8_t> pes) {
  pes_.push_back({pid, sendTime, std::move(pes)});
}

std::vector<uint8_t> RecordingBuilder::Build() const {
  int64_t start = 0;
  int64_t end = 0;
  if (!pes_.empty()) {
    start = end = pes_.front().time;
    for (const PES& p : pes_) {
      start = std::min(start, p.time);
      end = std::max(end, p.time);
    }
  }
  if (hasStart_) start = startTime_;
  if (hasEnd_) end = std::max(end, endTime_);
  if (end < start) end = start;

  // (time, kind, sequence): kind 0 = PCR, 1 = tables, 2 = PES.
  using Event = std::tuple<int64_t, int, size_t>;
  std::vector<Event> events;
  for (int64_t t = start; t <= end; t += tablePeriod_) events.emplace_back(t, 1, 0);
  const int64_t pcrPeriod = pcrPeriod_ > 0 ? pcrPeriod_ : tablePeriod_;
  for (int64_t t = start; pcrPid_ >= 0 && t <= end; t += pcrPeriod) events.emplace_back(t, 0, 0);
  for (size_t k = 0; k < pes_.size(); ++k) {
    if (pes_[k].time >= start) events.emplace_back(pes_[k].time, 2, k);
  }
  std::stable_sort(events.begin(), events.end());

  std::map<uint16_t, uint8_t> cc;
  std::vector<uint8_t> out;
  for (const Event& e : events) {
    const int64_t time = std::get<0>(e);
    switch (std::get<1>(e)) {
      case 1:
        for (const Table& t : tables_) {
          const std::vector<uint8_t> packets = PacketizeSection(t.pid, t.section, cc[t.pid]);
          out.insert(out.end(), packets.begin(), packets.end());
        }
        break;
      case 0: {
        const uint16_t pid = static_cast<uint16_t>(pcrPid_);
        const std::vector<uint8_t> packet = PCRPacket(pid, time, cc[pid]);
        out.insert(out.end(), packet.begin(), packet.end());
        break;
      }
      default: {
        const PES& p = pes_[std::get<2>(e)];
        const std::vector<uint8_t> packets = PacketizePES(p.pid, p.bytes, cc[p.pid]);
        out.insert(out.end(), packets.begin(), packets.end());
        break;
      }
    }
  }
  return out;
}

bool RecordingBuilder::WriteFile(const std::string& path, std::string* error) const {
  const std::vector<uint8_t> bytes = Build();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    if (error) *error = "write error";
    return false;
  }
  return true;
}

}  // namespace tsgen
