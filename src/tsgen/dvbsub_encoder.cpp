#include "tsgen/dvbsub_encoder.h"

#include <algorithm>

#include "tsgen/pes.h"

namespace tsgen {
namespace dvbsub {

namespace {

// Appends values of a few bits each, most significant bit first.
class BitWriter {
 public:
  void Put(unsigned value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
      used_ = (used_ + 1) & 7;
    }
  }
  // Zero bits up to the next byte boundary.
  void Pad() { used_ = 0; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

// Splits `codes` into runs of equal values and hands each to `emit`.
template <typename F>
void ForEachRun(const std::vector<uint8_t>& codes, F emit) {
  size_t i = 0;
  while (i < codes.size()) {
    size_t j = i + 1;
    while (j < codes.size() && codes[j] == codes[i]) ++j;
    emit(codes[i], static_cast<int>(j - i));
    i = j;
  }
}

// `head` followed by the bytes of `tail`, sized once up front.
std::vector<uint8_t> Prefixed(std::initializer_list<uint8_t> head, const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> out(head.size() + tail.size());
  std::copy(head.begin(), head.end(), out.begin());
  std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(head.size()));
  return out;
}

void Put16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

std::vector<uint8_t> PixelString2(const std::vector<uint8_t>& codes) {
  BitWriter w;
  ForEachRun(codes, [&w](uint8_t value, int n) {
    const unsigned c = value & 3;
    while (n > 0) {
      if (n >= 29) {
        const int run = std::min(n, 284);
        w.Put(0, 2); w.Put(0, 2); w.Put(3, 2); w.Put(static_cast<unsigned>(run - 29), 8);
        w.Put(c, 2);
        n -= run;
      } else if (n >= 12) {
        const int run = std::min(n, 27);
        w.Put(0, 2); w.Put(0, 2); w.Put(2, 2); w.Put(static_cast<unsigned>(run - 12), 4);
        w.Put(c, 2);
        n -= run;
      } else if (n >= 3) {
        const int run = std::min(n, 10);
        w.Put(0, 2); w.Put(2 | static_cast<unsigned>((run - 3) >> 2), 2);
        w.Put(static_cast<unsigned>((run - 3) & 3), 2); w.Put(c, 2);
        n -= run;
      } else if (c != 0) {
        w.Put(c, 2);
        n -= 1;
      } else if (n == 2) {
        w.Put(0, 2); w.Put(0, 2); w.Put(1, 2);
        n -= 2;
      } else {
        w.Put(0, 2); w.Put(1, 2);
        n -= 1;
      }
    }
  });
  w.Put(0, 6);  // end of string
  w.Pad();
  return Prefixed({0x10}, w.Take());
}

std::vector<uint8_t> PixelString4(const std::vector<uint8_t>& codes) {
  BitWriter w;
  ForEachRun(codes, [&w](uint8_t value, int n) {
    const unsigned c = value & 15;
    while (n > 0) {
      if (n >= 25) {
        const int run = std::min(n, 280);
        w.Put(0, 4); w.Put(15, 4); w.Put(static_cast<unsigned>(run - 25), 8); w.Put(c, 4);
        n -= run;
      } else if (n >= 10 || (c != 0 && n >= 9)) {
        const int run = std::min(n, 24);
        w.Put(0, 4); w.Put(14, 4); w.Put(static_cast<unsigned>(run - 9), 4); w.Put(c, 4);
        n -= run;
      } else if (c == 0) {
        // Runs of colour 0 have their own short forms.
        if (n >= 3) {
          w.Put(0, 4); w.Put(static_cast<unsigned>(n - 2), 4);
        } else if (n == 2) {
          w.Put(0, 4); w.Put(13, 4);
        } else {
          w.Put(0, 4); w.Put(12, 4);
        }
        n = 0;
      } else if (n >= 4) {
        const int run = std::min(n, 7);
        w.Put(0, 4); w.Put(8 | static_cast<unsigned>(run - 4), 4); w.Put(c, 4);
        n -= run;
      } else {
        w.Put(c, 4);
        n -= 1;
      }
    }
  });
  w.Put(0, 8);  // end of string
  w.Pad();
  return Prefixed({0x11}, w.Take());
}

std::vector<uint8_t> PixelString8(const std::vector<uint8_t>& codes) {
  std::vector<uint8_t> out;
  out.reserve(codes.size() + 3);
  out.push_back(0x12);
  ForEachRun(codes, [&out](uint8_t c, int n) {
    while (n > 0) {
      const int run = std::min(n, 127);
      if (c == 0) {
        out.insert(out.end(), {0x00, static_cast<uint8_t>(run)});
      } else if (run >= 3) {
        out.insert(out.end(), {0x00, static_cast<uint8_t>(0x80 | run), c});
      } else {
        out.insert(out.end(), static_cast<size_t>(run), c);
      }
      n -= run;
    }
  });
  out.insert(out.end(), {0x00, 0x00});
  return out;
}

std::vector<uint8_t> MapTable2to4(const uint8_t entries[4]) {
  return {0x20, static_cast<uint8_t>((entries[0] & 15) << 4 | (entries[1] & 15)),
          static_cast<uint8_t>((entries[2] & 15) << 4 | (entries[3] & 15))};
}

std::vector<uint8_t> MapTable2to8(const uint8_t entries[4]) {
  return {0x21, entries[0], entries[1], entries[2], entries[3]};
}

std::vector<uint8_t> MapTable4to8(const uint8_t entries[16]) {
  return Prefixed({0x22}, std::vector<uint8_t>(entries, entries + 16));
}

std::vector<uint8_t> EndOfLine() { return {0xF0}; }

ObjectData ObjectFromBitmap(int objectId, const std::vector<uint8_t>& codes, int width, int height,
                            int bitsPerPixel, int version) {
  ObjectData object;
  object.objectId = objectId;
  object.version = version;
  for (int row = 0; row < height; ++row) {
    const size_t start = static_cast<size_t>(row) * static_cast<size_t>(width);
    const std::vector<uint8_t> line(codes.begin() + static_cast<std::ptrdiff_t>(start),
                                    codes.begin() + static_cast<std::ptrdiff_t>(start + width));
    const std::vector<uint8_t> string = bitsPerPixel == 2   ? PixelString2(line)
                                        : bitsPerPixel == 8 ? PixelString8(line)
                                                            : PixelString4(line);
    std::vector<uint8_t>& field = (row % 2 == 0) ? object.top : object.bottom;
    field.insert(field.end(), string.begin(), string.end());
    field.push_back(0xF0);
  }
  return object;
}

std::vector<uint8_t> Segment(uint8_t type, int pageId, const std::vector<uint8_t>& data) {
  const int length = static_cast<int>(data.size());
  return Prefixed({0x0F, type, static_cast<uint8_t>(pageId >> 8), static_cast<uint8_t>(pageId),
                   static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)},
                  data);
}

std::vector<uint8_t> EncodePageComposition(int pageId, const PageComposition& page) {
  std::vector<uint8_t> data{static_cast<uint8_t>(page.timeOut),
                            static_cast<uint8_t>((page.version & 15) << 4 | (page.state & 3) << 2)};
  for (const RegionRef& r : page.regions) {
    data.push_back(static_cast<uint8_t>(r.regionId));
    data.push_back(0xFF);  // reserved
    Put16(data, r.x);
    Put16(data, r.y);
  }
  return Segment(kPageComposition, pageId, data);
}

std::vector<uint8_t> EncodeRegionComposition(int pageId, const RegionComposition& region) {
  std::vector<uint8_t> data{static_cast<uint8_t>(region.regionId),
                            static_cast<uint8_t>((region.version & 15) << 4 |
                                                 (region.fill ? 0x08 : 0) | 0x07)};
  Put16(data, region.width);
  Put16(data, region.height);
  data.push_back(static_cast<uint8_t>((region.compatibility & 7) << 5 | (region.depth & 7) << 2 | 3));
  data.push_back(static_cast<uint8_t>(region.clutId));
  data.push_back(static_cast<uint8_t>(region.code8));
  data.push_back(static_cast<uint8_t>((region.code4 & 15) << 4 | (region.code2 & 3) << 2 | 3));
  for (const RegionObject& o : region.objects) {
    Put16(data, o.objectId);
    data.push_back(static_cast<uint8_t>((o.type & 3) << 6 | (o.provider & 3) << 4 |
                                        ((o.x >> 8) & 15)));
    data.push_back(static_cast<uint8_t>(o.x));
    data.push_back(static_cast<uint8_t>(0xF0 | ((o.y >> 8) & 15)));
    data.push_back(static_cast<uint8_t>(o.y));
    if (o.type == 1 || o.type == 2) {
      data.push_back(static_cast<uint8_t>(o.foreground));
      data.push_back(static_cast<uint8_t>(o.background));
    }
  }
  return Segment(kRegionComposition, pageId, data);
}

std::vector<uint8_t> EncodeClutDefinition(int pageId, const ClutDefinition& clut) {
  std::vector<uint8_t> data{static_cast<uint8_t>(clut.clutId),
                            static_cast<uint8_t>((clut.version & 15) << 4 | 0x0F)};
  for (const ClutEntry& e : clut.entries) {
    data.push_back(static_cast<uint8_t>(e.id));
    data.push_back(static_cast<uint8_t>((e.for2 ? 0x80 : 0) | (e.for4 ? 0x40 : 0) |
                                        (e.for8 ? 0x20 : 0) | 0x1E | (e.fullRange ? 1 : 0)));
    if (e.fullRange) {
      data.insert(data.end(), {e.y, e.cr, e.cb, e.t});
    } else {
      // Six bits of Y, four of Cr and Cb, two of T, packed into two bytes.
      const unsigned y6 = e.y >> 2, cr4 = e.cr >> 4, cb4 = e.cb >> 4, t2 = e.t >> 6;
      const unsigned packed = y6 << 10 | cr4 << 6 | cb4 << 2 | t2;
      Put16(data, static_cast<int>(packed));
    }
  }
  return Segment(kClutDefinition, pageId, data);
}

std::vector<uint8_t> EncodeObjectData(int pageId, const ObjectData& object) {
  std::vector<uint8_t> data;
  Put16(data, object.objectId);
  data.push_back(static_cast<uint8_t>((object.version & 15) << 4 | (object.codingMethod & 3) << 2 |
                                      (object.nonModifying ? 2 : 0) | 1));
  if (object.codingMethod == 0) {
    Put16(data, static_cast<int>(object.top.size()));
    Put16(data, static_cast<int>(object.bottom.size()));
    data.insert(data.end(), object.top.begin(), object.top.end());
    data.insert(data.end(), object.bottom.begin(), object.bottom.end());
  }
  return Segment(kObjectData, pageId, data);
}

std::vector<uint8_t> EncodeEndOfDisplaySet(int pageId) {
  return Segment(kEndOfDisplaySet, pageId, {});
}

std::vector<uint8_t> EncodeDisplayDefinition(int pageId, const DisplayDefinition& display) {
  std::vector<uint8_t> data{
      static_cast<uint8_t>((display.version & 15) << 4 | (display.window ? 0x08 : 0) | 0x07)};
  Put16(data, display.width - 1);
  Put16(data, display.height - 1);
  if (display.window) {
    Put16(data, display.xMin);
    Put16(data, display.xMax);
    Put16(data, display.yMin);
    Put16(data, display.yMax);
  }
  return Segment(kDisplayDefinition, pageId, data);
}

DisplaySet& DisplaySet::Page(const PageComposition& page) {
  return Raw(EncodePageComposition(pageId_, page));
}
DisplaySet& DisplaySet::Region(const RegionComposition& region) {
  return Raw(EncodeRegionComposition(pageId_, region));
}
DisplaySet& DisplaySet::Clut(const ClutDefinition& clut) {
  return Raw(EncodeClutDefinition(pageId_, clut));
}
DisplaySet& DisplaySet::Object(const ObjectData& object) {
  return Raw(EncodeObjectData(pageId_, object));
}
DisplaySet& DisplaySet::End() { return Raw(EncodeEndOfDisplaySet(pageId_)); }
DisplaySet& DisplaySet::Display(const DisplayDefinition& display) {
  return Raw(EncodeDisplayDefinition(pageId_, display));
}

DisplaySet& DisplaySet::Raw(const std::vector<uint8_t>& bytes) {
  segments_.insert(segments_.end(), bytes.begin(), bytes.end());
  return *this;
}

std::vector<uint8_t> DisplaySet::Payload(bool marker) const {
  std::vector<uint8_t> out = Prefixed({0x20, 0x00}, segments_);
  if (marker) out.push_back(0xFF);
  return out;
}

std::vector<uint8_t> DisplaySet::Packet(int64_t pts, bool marker) const {
  return BuildPES(0xBD, pts, Payload(marker));
}

}  // namespace dvbsub
}  // namespace tsgen
