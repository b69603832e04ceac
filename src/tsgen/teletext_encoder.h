#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tsgen {

// Teletext the way broadcasters carry it in PES packets: 46-byte data units
// (id, length 0x2C, field parity and line offset, framing code 0xE4, two
// Hamming 8/4 address bytes and 40 data bytes), every byte after the framing
// code bit-reversed as it goes on air.
//
// The coding here is worked out on its own, from the parity equations, and
// not from the decoder's tables, so that checking one against the other finds
// faults in either.

using TeletextUnit = std::array<uint8_t, 46>;

constexpr uint8_t kTeletextSubtitleUnit = 0x03;
constexpr uint8_t kTeletextNonSubtitleUnit = 0x02;
constexpr uint8_t kTeletextStuffingUnit = 0xFF;

// Spacing attributes that subtitle rows use.
constexpr char kTxtEndBox = 0x0A;
constexpr char kTxtStartBox = 0x0B;
constexpr char kTxtDoubleHeight = 0x0D;

// Bit order reversed (bit 0 <-> bit 7, ...).
uint8_t TeletextReverse(uint8_t byte);
// The Hamming 8/4 byte for a nibble, in reception order (bit 0 sent first).
uint8_t TeletextHamming(uint8_t nibble);
// A 7-bit character with its odd-parity bit 7 set as needed.
uint8_t TeletextParity(uint8_t character);

struct TeletextHeader {
  int page = 0x888;      // magazine * 256 + tens * 16 + units; magazine 8 goes on air as 0
  int subcode = 0;       // 13 bits used
  bool erase = false;    // C4: the receiver wipes the page
  bool subtitle = true;  // C6
  int nationalOption = 0;  // C12..C14
  std::string text;      // up to 32 characters after the 8 header bytes
};

// One page as a subtitler sends it: its header, then its rows.
struct TeletextPage {
  TeletextHeader header;
  struct Row {
    int row;           // packet number 1..31
    std::string text;  // raw characters; padded with spaces to 40
  };
  std::vector<Row> rows;
};

// A row's 40 characters for a boxed, double-height subtitle line: the text
// between double height, two start boxes and two end boxes, centred.
std::string SubtitleRowText(const std::string& text);

// A subtitle page as subtitlers lay it out: each line boxed and double
// height, every other row, the last line on row 22 (one line: row 22; two:
// rows 20 and 22). The erase bit is set, so the page replaces what was shown;
// with no lines it simply clears the subtitle.
TeletextPage SubtitlePage(int page, const std::vector<std::string>& lines);

// Units with a given id (0x02 or 0x03); field parity and line offset are set
// when the units are packed.
TeletextUnit EncodeHeaderUnit(const TeletextHeader& header,
                              uint8_t unitId = kTeletextSubtitleUnit);
// Row `row` (1..31) of `magazine` (1..8), its text coded with odd parity.
TeletextUnit EncodeRowUnit(int magazine, int row, const std::string& text,
                           uint8_t unitId = kTeletextSubtitleUnit);
// A unit made of 0xFF that receivers skip, to fill a packet.
TeletextUnit StuffingUnit();

// The header unit followed by one unit per row.
std::vector<TeletextUnit> EncodePage(const TeletextPage& page,
                                     uint8_t unitId = kTeletextSubtitleUnit);

// Flips the bits of `mask` in byte `offset` of the unit as it is transmitted:
// one bit for a correctable error, two bits within one Hamming byte for an
// uncorrectable one. Offsets 4 and 5 are the address, 6.. the data block.
void InjectBitErrors(TeletextUnit& unit, int offset, uint8_t mask);

// Packs units into PES packets with a 45-byte header carrying `pts`
// (PES_header_data_length 0x24), data_identifier 0x10, `unitsPerPacket` units
// per packet, the last packet filled with stuffing units. Every packet is
// 46 * (unitsPerPacket + 1) bytes (368 for 7 units). Each unit's field
// parity / line offset byte is set by its slot in the packet.
std::vector<std::vector<uint8_t>> PackTeletextPES(const std::vector<TeletextUnit>& units,
                                                  int64_t pts, int unitsPerPacket = 7);

}  // namespace tsgen
