#include "tsgen/psi.h"

#include "common/crc32.h"

namespace tsgen {

namespace {
void PutLanguage(Bytes& out, const std::string& language) {
  for (size_t k = 0; k < 3; ++k) out.push_back(k < language.size() ? language[k] : ' ');
}
}  // namespace

Bytes BuildSection(uint8_t tableId, uint16_t tableIdExtension, uint8_t version, const Bytes& body) {
  // Five header bytes after the length, the body, four CRC bytes.
  size_t bodySize = body.size();
  if (bodySize > 0xFFF - 9) bodySize = 0xFFF - 9;
  const size_t length = 5 + bodySize + 4;
  Bytes out;
  out.reserve(3 + length);
  out.push_back(tableId);
  out.push_back(static_cast<uint8_t>(0xB0 | (length >> 8)));
  out.push_back(static_cast<uint8_t>(length));
  out.push_back(static_cast<uint8_t>(tableIdExtension >> 8));
  out.push_back(static_cast<uint8_t>(tableIdExtension));
  out.push_back(static_cast<uint8_t>(0xC1 | ((version & 0x1F) << 1)));
  out.push_back(0x00);
  out.push_back(0x00);
  out.insert(out.end(), body.begin(), body.begin() + static_cast<long>(bodySize));
  out.resize(out.size() + 4);
  FixCRC(out);
  return out;
}

void FixCRC(Bytes& section) {
  if (section.size() < 4) return;
  const uint32_t crc = Crc32Mpeg(section.data(), section.size() - 4);
  uint8_t* tail = section.data() + section.size() - 4;
  tail[0] = static_cast<uint8_t>(crc >> 24);
  tail[1] = static_cast<uint8_t>(crc >> 16);
  tail[2] = static_cast<uint8_t>(crc >> 8);
  tail[3] = static_cast<uint8_t>(crc);
}

Bytes BuildPAT(uint16_t transportStreamId, const std::vector<PatEntry>& programs,
               uint8_t version) {
  Bytes body;
  for (const PatEntry& p : programs) {
    body.push_back(static_cast<uint8_t>(p.programNumber >> 8));
    body.push_back(static_cast<uint8_t>(p.programNumber));
    body.push_back(static_cast<uint8_t>(0xE0 | ((p.pid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(p.pid));
  }
  return BuildSection(0x00, transportStreamId, version, body);
}

Bytes Descriptor(uint8_t tag, const Bytes& body) {
  const size_t n = body.size() > 255 ? 255 : body.size();
  Bytes out{tag, static_cast<uint8_t>(n)};
  out.insert(out.end(), body.begin(), body.begin() + static_cast<long>(n));
  return out;
}

Bytes TeletextDescriptor(const std::vector<TeletextEntry>& entries) {
  Bytes body;
  for (const TeletextEntry& e : entries) {
    PutLanguage(body, e.language);
    body.push_back(static_cast<uint8_t>((e.type << 3) | ((e.page >> 8) & 0x07)));
    body.push_back(static_cast<uint8_t>(e.page));
  }
  return Descriptor(0x56, body);
}

Bytes SubtitlingDescriptor(const std::vector<SubtitlingEntry>& entries) {
  Bytes body;
  for (const SubtitlingEntry& e : entries) {
    PutLanguage(body, e.language);
    body.push_back(e.type);
    body.push_back(static_cast<uint8_t>(e.compositionPageId >> 8));
    body.push_back(static_cast<uint8_t>(e.compositionPageId));
    body.push_back(static_cast<uint8_t>(e.ancillaryPageId >> 8));
    body.push_back(static_cast<uint8_t>(e.ancillaryPageId));
  }
  return Descriptor(0x59, body);
}

Bytes BuildPMT(uint16_t programNumber, uint16_t pcrPid, const Bytes& programInfo,
               const std::vector<PmtStream>& streams, uint8_t version) {
  Bytes body;
  body.push_back(static_cast<uint8_t>(0xE0 | ((pcrPid >> 8) & 0x1F)));
  body.push_back(static_cast<uint8_t>(pcrPid));
  body.push_back(static_cast<uint8_t>(0xF0 | ((programInfo.size() >> 8) & 0x0F)));
  body.push_back(static_cast<uint8_t>(programInfo.size()));
  body.insert(body.end(), programInfo.begin(), programInfo.end());
  for (const PmtStream& s : streams) {
    body.push_back(s.streamType);
    body.push_back(static_cast<uint8_t>(0xE0 | ((s.pid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(s.pid));
    body.push_back(static_cast<uint8_t>(0xF0 | ((s.descriptors.size() >> 8) & 0x0F)));
    body.push_back(static_cast<uint8_t>(s.descriptors.size()));
    body.insert(body.end(), s.descriptors.begin(), s.descriptors.end());
  }
  return BuildSection(0x02, programNumber, version, body);
}

}  // namespace tsgen
