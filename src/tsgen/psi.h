#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Building PSI sections (PAT, PMT) and the descriptors that announce subtitle
// streams. Every function returns complete bytes; sections end with a valid
// CRC-32.
namespace tsgen {

using Bytes = std::vector<uint8_t>;

// A long-form section: table ID, section_syntax_indicator set, the 16-bit
// table ID extension, version, current_next 1, section_number and
// last_section_number 0, `body`, CRC-32. section_length is what the body
// needs; bodies that would exceed the 12-bit field are cut.
Bytes BuildSection(uint8_t tableId, uint16_t tableIdExtension, uint8_t version, const Bytes& body);

// Rewrites the CRC of a whole section after a test has changed its bytes.
void FixCRC(Bytes& section);

struct PatEntry {
  uint16_t programNumber;  // 0 names the network PID
  uint16_t pid;
};
Bytes BuildPAT(uint16_t transportStreamId, const std::vector<PatEntry>& programs,
               uint8_t version = 0);

// Any descriptor: tag, length, body (cut at 255 bytes).
Bytes Descriptor(uint8_t tag, const Bytes& body);

struct TeletextEntry {
  std::string language;  // three characters, written as given
  uint8_t type;          // 2 = subtitle page, 5 = for the hearing impaired, ...
  uint16_t page;         // 0x100..0x8FF; magazine 8 is sent as magazine 0
};
Bytes TeletextDescriptor(const std::vector<TeletextEntry>& entries);

struct SubtitlingEntry {
  std::string language;
  uint8_t type;
  uint16_t compositionPageId;
  uint16_t ancillaryPageId;
};
Bytes SubtitlingDescriptor(const std::vector<SubtitlingEntry>& entries);

struct PmtStream {
  uint8_t streamType;  // 0x06 for teletext and DVB subtitles
  uint16_t pid;
  Bytes descriptors;  // concatenated descriptors of this stream
};
Bytes BuildPMT(uint16_t programNumber, uint16_t pcrPid, const Bytes& programInfo,
               const std::vector<PmtStream>& streams, uint8_t version = 0);

}  // namespace tsgen
