// Pixel data of object data segments: code strings decoded line by line into
// the context's line buffer, finished lines copied into the regions that
// place the object.

#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "dvbsub/subtitle_context.h"

namespace {

const int kDefaultMapTable[4] = {0, 7, 8, 15};

// n (> 0) bytes of v from p on, sixteen at a time: most runs are a pixel or
// a few, where a call to memset would cost more than the stores. Writes up
// to fifteen bytes past the run, into the slack at the end of the lines.
void FillRun(uint8_t* p, int n, uint8_t v) {
  const uint64_t pattern = v * 0x0101010101010101ULL;
  for (int i = 0; i < n; i += 16) {
    std::memcpy(p + i, &pattern, 8);
    std::memcpy(p + i + 8, &pattern, 8);
  }
}

// Where a string's pixels go: the lines that regions placing the object show
// (null for one that none shows) and the next column. A decoder keeps it in
// a local, as its stores into the lines could otherwise alias every field
// it reads.
struct LineOut {
  uint8_t* line;
  uint8_t* line8;
  int x;
  int width;  // columns a line holds: the screen's, or a wider display's

  // Stores n pixels of the 4-bit colour k, and of the 8-bit colour `full`
  // for regions of that depth (a 4-bit code k is 8-bit k * 0x11 by
  // default); what falls beyond the last column is dropped while the string
  // goes on being decoded.
  void Emit(int n, int k, int full = -1) {
    if (n > width - x) n = width - x;
    if (n <= 0) return;
    if (line8 != nullptr) {
      FillRun(line8 + x, n, static_cast<uint8_t>(full < 0 ? (k & 0x0F) * 0x11 : full));
    }
    if (line != nullptr) FillRun(line + x, n, static_cast<uint8_t>(0xF0 | (k & 0x0F)));
    x += n;
  }
};

LineOut LineOutFor(subtitle_context* ctx, int x) {
  const int width = std::clamp(ctx->display.width, kSubtitleScreenWidth, kSubtitleMaxDisplaySize);
  return {ctx->decodeLine ? ctx->line : nullptr, ctx->decodeLine8 ? ctx->line8 : nullptr, x, width};
}

// Skips the rest of the current byte once a string has ended.
void Align(bitstream* bs) {
  while (bs->bitsLeft != 8 && !bs->exhausted) bitstream_get(bs);
}

int Decode2(subtitle_context* ctx, bitstream* bs, int x) {
  LineOut out = LineOutFor(ctx, x);
  const int table[4] = {ctx->mapTable[0], ctx->mapTable[1], ctx->mapTable[2], ctx->mapTable[3]};
  auto map = [&table](unsigned code) { return table[code & 3]; };
  for (;;) {
    const unsigned a = bitstream_get(bs);
    if (bs->exhausted) return out.x;
    if (a != 0) {
      out.Emit(1, map(a));
      continue;
    }
    const unsigned b = bitstream_get(bs);
    if (bs->exhausted) return out.x;
    if (b == 1) {
      out.Emit(1, map(0));
    } else if (b >= 2) {
      const int run = 3 + 4 * static_cast<int>(b & 1) + static_cast<int>(bitstream_get(bs));
      const unsigned code = bitstream_get(bs);
      if (bs->exhausted) return out.x;
      out.Emit(run, map(code));
    } else {
      const unsigned d = bitstream_get(bs);
      if (bs->exhausted) return out.x;
      if (d == 0) break;
      if (d == 1) {
        out.Emit(2, map(0));
      } else if (d == 2) {
        const unsigned hi = bitstream_get(bs);
        const unsigned lo = bitstream_get(bs);
        const unsigned code = bitstream_get(bs);
        if (bs->exhausted) return out.x;
        out.Emit(12 + static_cast<int>((hi << 2) | lo), map(code));
      } else {
        unsigned run = 0;
        for (int i = 0; i < 4; ++i) run = (run << 2) | bitstream_get(bs);
        const unsigned code = bitstream_get(bs);
        if (bs->exhausted) return out.x;
        out.Emit(29 + static_cast<int>(run), map(code));
      }
    }
  }
  Align(bs);
  return out.x;
}

int Decode4(subtitle_context* ctx, bitstream* bs, int x) {
  LineOut out = LineOutFor(ctx, x);
  for (;;) {
    const unsigned a = bitstream_get(bs);
    if (bs->exhausted) return out.x;
    if (a != 0) {
      out.Emit(1, static_cast<int>(a));
      continue;
    }
    const unsigned b = bitstream_get(bs);
    if (bs->exhausted) return out.x;
    if (b == 0) break;
    if (b <= 7) {
      out.Emit(static_cast<int>(b) + 2, 0);
    } else if (b <= 11) {
      const unsigned code = bitstream_get(bs);
      if (bs->exhausted) return out.x;
      out.Emit(static_cast<int>(b & 3) + 4, static_cast<int>(code));
    } else if (b == 12) {
      out.Emit(1, 0);
    } else if (b == 13) {
      out.Emit(2, 0);
    } else if (b == 14) {
      const unsigned run = bitstream_get(bs);
      const unsigned code = bitstream_get(bs);
      if (bs->exhausted) return out.x;
      out.Emit(static_cast<int>(run) + 9, static_cast<int>(code));
    } else {
      const unsigned hi = bitstream_get(bs);
      const unsigned lo = bitstream_get(bs);
      const unsigned code = bitstream_get(bs);
      if (bs->exhausted) return out.x;
      out.Emit(static_cast<int>((hi << 4) | lo) + 25, static_cast<int>(code));
    }
  }
  Align(bs);
  return out.x;
}

// Whole bytes only, so this reads them straight rather than through
// bitstream_get; it leaves the position and count of `bs` as those reads
// would.
int Decode8(subtitle_context* ctx, bitstream* bs, int x) {
  LineOut out = LineOutFor(ctx, x);
  const int lineWidth = ctx->lineWidth;
  const uint8_t* p = bs->data;
  const uint8_t* const end = bs->end;
  for (;;) {
    if (p >= end) break;
    const unsigned a = *p++;
    if (a != 0) {
      out.Emit(1, static_cast<int>(a >> 4), static_cast<int>(a));
      continue;
    }
    // Some encoders end a full line's string with a single zero byte right
    // before the end of the line. Read as a run, it would swallow the lines
    // that follow; the pixels it could add would not be shown anyway.
    if (out.x >= lineWidth && p < end && *p == 0xF0) break;
    if (p >= end) break;
    const unsigned b = *p++;
    if (b == 0) break;
    if (b < 128) {
      out.Emit(static_cast<int>(b), 0);
      continue;
    }
    if (p >= end) break;
    const unsigned code = *p++;
    out.Emit(static_cast<int>(b) - 128, static_cast<int>(code >> 4), static_cast<int>(code));
  }
  bs->consumed += static_cast<int>(p - bs->data);
  bs->data = p;
  return out.x;
}

}  // namespace

void bitstream_init(bitstream* bs, const uint8_t* data, const uint8_t* end, int width) {
  bs->data = data;
  bs->end = end;
  bs->width = width;
  bs->bitsLeft = 8;
  bs->consumed = 0;
  bs->exhausted = false;
}

unsigned bitstream_get(bitstream* bs) {
  if (bs->data >= bs->end) {
    bs->exhausted = true;
    return 0;
  }
  bs->bitsLeft -= bs->width;
  const unsigned value = (*bs->data >> bs->bitsLeft) & ((1u << bs->width) - 1);
  if (bs->bitsLeft == 0) {
    bs->bitsLeft = 8;
    ++bs->data;
    ++bs->consumed;
  }
  return value;
}

void subtitle_write_line(subtitle_page* page, int objectId, int y, const uint8_t* line, int length,
                         const uint8_t* line8) {
  for (subtitle_region* region = page->regions; region != nullptr; region = region->next) {
    if (region->pixels == nullptr) continue;
    const uint8_t* source = region->depth == 3 && line8 != nullptr ? line8 : line;
    for (subtitle_region_object* object = region->objects; object != nullptr;
         object = object->next) {
      if (object->objectId != objectId) continue;
      int n = length;
      if (object->x + n > region->width) n = region->width - object->x;
      const int row = object->y + y;
      if (n < 0 || row >= region->height) break;
      std::memcpy(region->pixels + static_cast<size_t>(row) * region->width + object->x, source,
                  static_cast<size_t>(n));
    }
  }
}

int subtitle_process_pixel_data(subtitle_context* ctx, subtitle_page* page, int objectId, int& y,
                                int& x, const uint8_t* data, const uint8_t* end) {
  if (data >= end) return 0;
  const int type = *data;
  bitstream bs;
  switch (type) {
    case 0x10:
    case 0x11:
    case 0x12: {
      const int width = type == 0x10 ? 2 : type == 0x11 ? 4 : 8;
      bitstream_init(&bs, data + 1, end, width);
      if (width == 2) x = Decode2(ctx, &bs, x);
      if (width == 4) x = Decode4(ctx, &bs, x);
      if (width == 8) x = Decode8(ctx, &bs, x);
      // Strings end on a byte boundary (stuffing) or where the data end.
      return bs.consumed + 1;
    }
    case 0x20:
      bitstream_init(&bs, data + 1, end, 4);
      for (int i = 0; i < 4; ++i) {
        const unsigned v = bitstream_get(&bs);
        if (bs.exhausted) break;
        ctx->mapTable[i] = static_cast<int>(v);
      }
      return bs.consumed + 1;
    case 0x21:
    case 0x22: {
      // Tables for deeper regions: the decoder reduces every colour to four
      // bits, so these are only stepped over.
      const int want = type == 0x21 ? 4 : 16;
      const int have = static_cast<int>(end - data) - 1;
      return 1 + (want < have ? want : have);
    }
    case 0xF0:
      std::memcpy(ctx->mapTable, kDefaultMapTable, sizeof kDefaultMapTable);
      subtitle_write_line(page, objectId, y, ctx->line, x, ctx->line8);
      y += 2;
      x = 0;
      return 1;
    default:
      log("subtitle_process_pixel_data: invalid data_type %02x\n", type);
      return -1;
  }
}
