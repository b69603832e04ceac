// loop_recording IN.ts OUT.ts LOOPS FILLER_BITS_PER_SECOND
//
// Writes IN as many times in a row as LOOPS says, as one unbroken broadcast:
// every loop's PCR, PTS and DTS go on from where the previous loop ended,
// continuity counters run on per PID, and packets of a PID the recording does
// not use (as another service's picture would be) are spread evenly between
// its own, at the bit rate asked for. It makes the long, full-rate recordings
// the replay benchmark needs out of a short sample.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr size_t kP = 188;
constexpr int64_t kWrap = int64_t{1} << 33;
constexpr uint16_t kFillerPid = 0x0FFE;

uint16_t Pid(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

bool HasPCR(const uint8_t* p) { return (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10); }

int64_t ReadPCR(const uint8_t* p) {
  const uint8_t* b = p + 6;
  return (int64_t{b[0]} << 25) | (int64_t{b[1]} << 17) | (int64_t{b[2]} << 9) |
         (int64_t{b[3]} << 1) | (b[4] >> 7);
}

void WritePCR(uint8_t* p, int64_t base) {
  uint8_t* b = p + 6;
  b[0] = static_cast<uint8_t>(base >> 25);
  b[1] = static_cast<uint8_t>(base >> 17);
  b[2] = static_cast<uint8_t>(base >> 9);
  b[3] = static_cast<uint8_t>(base >> 1);
  b[4] = static_cast<uint8_t>((b[4] & 0x7F) | ((base & 1) << 7));
}

int64_t ReadStamp(const uint8_t* b) {
  return (int64_t{(b[0] >> 1) & 0x07} << 30) | (int64_t{b[1]} << 22) | (int64_t{b[2] >> 1} << 15) |
         (int64_t{b[3]} << 7) | (b[4] >> 1);
}

void WriteStamp(uint8_t* b, int64_t t) {
  b[0] = static_cast<uint8_t>((b[0] & 0xF1) | ((t >> 29) & 0x0E));
  b[1] = static_cast<uint8_t>(t >> 22);
  b[2] = static_cast<uint8_t>((b[2] & 0x01) | ((t >> 14) & 0xFE));
  b[3] = static_cast<uint8_t>(t >> 7);
  b[4] = static_cast<uint8_t>((b[4] & 0x01) | ((t << 1) & 0xFE));
}

// The PES header that starts in this packet, or null.
uint8_t* PESHeader(uint8_t* p) {
  if ((p[1] & 0x40) == 0) return nullptr;
  size_t at = 4;
  if (p[3] & 0x20) at = 5 + p[4];
  if ((p[3] & 0x10) == 0 || at + 19 > kP) return nullptr;
  uint8_t* h = p + at;
  return h[0] == 0 && h[1] == 0 && h[2] == 1 ? h : nullptr;
}

int64_t PTS(const uint8_t* p) {
  const uint8_t* h = PESHeader(const_cast<uint8_t*>(p));
  return h != nullptr && (h[7] & 0x80) ? ReadStamp(h + 9) : -1;
}

// Moves the PTS and DTS of a PES header that starts in this packet.
void ShiftStamps(uint8_t* p, int64_t by) {
  uint8_t* h = PESHeader(p);
  if (h == nullptr) return;
  const int flags = h[7] >> 6;
  if (flags & 2) WriteStamp(h + 9, (ReadStamp(h + 9) + by) % kWrap);
  if (flags == 3) WriteStamp(h + 14, (ReadStamp(h + 14) + by) % kWrap);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: loop_recording IN.ts OUT.ts LOOPS FILLER_BITS_PER_SECOND\n");
    return 2;
  }
  const long loops = std::atol(argv[3]);
  const double fillerRate = std::atof(argv[4]);
  FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr || loops < 1 || fillerRate < 0) {
    std::fprintf(stderr, "loop_recording: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<uint8_t> packets;
  uint8_t packet[kP];
  while (std::fread(packet, 1, 1, in) == 1) {
    if (packet[0] != 0x47) continue;
    if (std::fread(packet + 1, 1, kP - 1, in) != kP - 1) break;
    packets.insert(packets.end(), packet, packet + kP);
  }
  std::fclose(in);
  const size_t count = packets.size() / kP;
  // The clock: the PID with the most PCRs, or without any PCR the one with
  // the most PTS; one loop lasts from its first value to its last and one
  // typical step more.
  std::map<uint16_t, std::vector<int64_t>> pcrs;
  std::map<uint16_t, std::vector<int64_t>> ptss;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = &packets[i * kP];
    if (HasPCR(p)) pcrs[Pid(p)].push_back(ReadPCR(p));
    const int64_t pts = PTS(p);
    if (pts >= 0) ptss[Pid(p)].push_back(pts);
  }
  const std::vector<int64_t>* clock = nullptr;
  for (const auto& entry : pcrs.empty() ? ptss : pcrs) {
    if (clock == nullptr || entry.second.size() > clock->size()) clock = &entry.second;
  }
  if (clock == nullptr || clock->size() < 2) {
    std::fprintf(stderr, "loop_recording: %s has too few time stamps\n", argv[1]);
    return 1;
  }
  const int64_t span = (clock->back() - clock->front() + kWrap) % kWrap;
  const int64_t loopTicks = span + span / static_cast<int64_t>(clock->size() - 1);
  const double loopSeconds = static_cast<double>(loopTicks) / 90000.0;
  const size_t fillers = static_cast<size_t>(fillerRate * loopSeconds / (kP * 8) + 0.5);

  FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "loop_recording: cannot write %s\n", argv[2]);
    return 1;
  }
  std::vector<uint8_t> buffer;
  buffer.reserve(1 << 22);
  std::map<uint16_t, uint8_t> cc;
  uint8_t fillerCc = 0;
  uint8_t filler[kP];
  std::memset(filler, 0xA5, sizeof filler);
  filler[0] = 0x47;
  filler[1] = kFillerPid >> 8;
  filler[2] = kFillerPid & 0xFF;
  size_t written = 0;
  for (long loop = 0; loop < loops; ++loop) {
    const int64_t shift = loop * loopTicks;
    for (size_t i = 0; i < count; ++i) {
      uint8_t* p = buffer.data() + buffer.size();
      buffer.insert(buffer.end(), &packets[i * kP], &packets[(i + 1) * kP]);
      p = buffer.data() + buffer.size() - kP;
      if (HasPCR(p)) WritePCR(p, (ReadPCR(p) + shift) % kWrap);
      ShiftStamps(p, shift);
      uint8_t& next = cc[Pid(p)];
      if (p[3] & 0x10) {
        p[3] = static_cast<uint8_t>((p[3] & 0xF0) | next);
        next = (next + 1) & 0x0F;
      } else {
        p[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((next + 15) & 0x0F));
      }
      const size_t due = (i + 1) * fillers / count - i * fillers / count;
      for (size_t k = 0; k < due; ++k) {
        filler[3] = static_cast<uint8_t>(0x10 | fillerCc);
        fillerCc = (fillerCc + 1) & 0x0F;
        buffer.insert(buffer.end(), filler, filler + kP);
      }
      if (buffer.size() >= (1 << 22) - 256 * kP) {
        written += std::fwrite(buffer.data(), 1, buffer.size(), out);
        buffer.clear();
      }
    }
  }
  written += std::fwrite(buffer.data(), 1, buffer.size(), out);
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "loop_recording: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("%zu packets, %.1f s\n", written / kP, loopSeconds * static_cast<double>(loops));
  return 0;
}
