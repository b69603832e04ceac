#pragma once

// Builds DVB bitmap subtitle display sets: the segments of a page, its
// regions, CLUTs and objects with run-length coded pixel strings, wrapped in
// a PES payload (data_identifier 0x20, stream 0, end marker 0xFF) and, through
// BuildPES, in whole PES packets. Used by tests, benchmarks and the
// demonstration recordings.

#include <cstdint>
#include <vector>

namespace tsgen {

namespace dvbsub {

constexpr uint8_t kPageComposition = 0x10;
constexpr uint8_t kRegionComposition = 0x11;
constexpr uint8_t kClutDefinition = 0x12;
constexpr uint8_t kObjectData = 0x13;
constexpr uint8_t kDisplayDefinition = 0x14;
constexpr uint8_t kEndOfDisplaySet = 0x80;
constexpr uint8_t kStuffing = 0xFF;

// Page states.
constexpr int kNormalCase = 0;
constexpr int kAcquisitionPoint = 1;
constexpr int kModeChange = 2;

struct RegionRef {
  int regionId = 0;
  int x = 0;
  int y = 0;
};

struct PageComposition {
  int timeOut = 0;  // seconds
  int version = 0;
  int state = kAcquisitionPoint;
  std::vector<RegionRef> regions;
};

struct RegionObject {
  int objectId = 0;
  int type = 0;  // 0 bitmap; 1 and 2 carry the two pixel codes below
  int provider = 0;
  int x = 0;
  int y = 0;
  int foreground = 0;
  int background = 0;
};

struct RegionComposition {
  int regionId = 0;
  int version = 0;
  bool fill = false;
  int width = 0;
  int height = 0;
  int compatibility = 2;
  int depth = 2;  // 1: 2 bits, 2: 4 bits, 3: 8 bits per pixel
  int clutId = 0;
  int code8 = 0;
  int code4 = 0;
  int code2 = 0;
  std::vector<RegionObject> objects;
};

struct ClutEntry {
  int id = 0;
  bool for2 = false;
  bool for4 = true;
  bool for8 = false;
  bool fullRange = true;
  // Full-range values; a reduced-range entry sends only their top bits.
  uint8_t y = 0;
  uint8_t cr = 128;
  uint8_t cb = 128;
  uint8_t t = 0;
};

struct ClutDefinition {
  int clutId = 0;
  int version = 0;
  std::vector<ClutEntry> entries;
};

struct ObjectData {
  int objectId = 0;
  int version = 0;
  int codingMethod = 0;
  bool nonModifying = false;
  std::vector<uint8_t> top;     // pixel data sub-blocks of the even lines
  std::vector<uint8_t> bottom;  // and of the odd lines
};

// The display the regions are placed in. Sizes are in pixels; the segment
// carries each minus one. The window, when `window` is set, is given by its
// inclusive minimum and maximum positions.
struct DisplayDefinition {
  int version = 0;
  int width = 1920;
  int height = 1080;
  bool window = false;
  int xMin = 0;
  int xMax = 0;
  int yMin = 0;
  int yMax = 0;
};

// Pixel data sub-blocks, each starting with its data_type byte.
// Codes are 2-, 4- or 8-bit values; runs are coded with the shortest forms.
std::vector<uint8_t> PixelString2(const std::vector<uint8_t>& codes);
std::vector<uint8_t> PixelString4(const std::vector<uint8_t>& codes);
std::vector<uint8_t> PixelString8(const std::vector<uint8_t>& codes);
std::vector<uint8_t> MapTable2to4(const uint8_t entries[4]);
std::vector<uint8_t> MapTable2to8(const uint8_t entries[4]);
std::vector<uint8_t> MapTable4to8(const uint8_t entries[16]);
std::vector<uint8_t> EndOfLine();

// An object from a bitmap of codes (width * height, row after row) at
// `bitsPerPixel` 2, 4 or 8: even rows go to the top field, odd rows to the
// bottom field, each row one code string and an end of line.
ObjectData ObjectFromBitmap(int objectId, const std::vector<uint8_t>& codes, int width, int height,
                            int bitsPerPixel, int version = 0);

// Whole segments: sync byte, type, page id, length, data.
std::vector<uint8_t> Segment(uint8_t type, int pageId, const std::vector<uint8_t>& data);
std::vector<uint8_t> EncodePageComposition(int pageId, const PageComposition& page);
std::vector<uint8_t> EncodeRegionComposition(int pageId, const RegionComposition& region);
std::vector<uint8_t> EncodeClutDefinition(int pageId, const ClutDefinition& clut);
std::vector<uint8_t> EncodeObjectData(int pageId, const ObjectData& object);
std::vector<uint8_t> EncodeEndOfDisplaySet(int pageId);
std::vector<uint8_t> EncodeDisplayDefinition(int pageId, const DisplayDefinition& display);

// Collects the segments of one packet in order.
class DisplaySet {
 public:
  explicit DisplaySet(int pageId) : pageId_(pageId) {}

  DisplaySet& Page(const PageComposition& page);
  DisplaySet& Region(const RegionComposition& region);
  DisplaySet& Clut(const ClutDefinition& clut);
  DisplaySet& Object(const ObjectData& object);
  DisplaySet& End();
  DisplaySet& Display(const DisplayDefinition& display);
  // Any bytes, for segments of other types or deliberately broken ones.
  DisplaySet& Raw(const std::vector<uint8_t>& bytes);

  // data_identifier 0x20, subtitle_stream_id 0, the segments, and the
  // end marker 0xFF when `marker` is set.
  std::vector<uint8_t> Payload(bool marker = true) const;
  // A whole private_stream_1 PES packet; no PTS when `pts` is negative.
  std::vector<uint8_t> Packet(int64_t pts, bool marker = true) const;

 private:
  int pageId_;
  std::vector<uint8_t> segments_;
};

}  // namespace dvbsub

}  // namespace tsgen
