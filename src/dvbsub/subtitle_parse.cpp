// Walking a DVB subtitle PES packet and turning its segments into pages,
// regions, CLUTs and object placements.

#include <algorithm>
#include <cstring>
#include <new>

#include "common/log.h"
#include "display/frame_buffer.h"
#include "dvbsub/subtitle_context.h"

namespace {

// Every read of this file goes through a window onto the packet: a byte
// outside it reads as 0, so no field can reach past the data we were given.
struct Window {
  const uint8_t* begin;
  const uint8_t* end;

  bool Has(const uint8_t* p, int n) const { return p >= begin && n >= 0 && end - p >= n; }
  int U8(const uint8_t* p) const { return Has(p, 1) ? *p : 0; }
  int U16(const uint8_t* p) const { return (U8(p) << 8) | U8(p + 1); }
};

void FreeRegionRefs(subtitle_page* page) {
  subtitle_page_region* ref = page->regionRefs;
  while (ref != nullptr) {
    subtitle_page_region* next = ref->next;
    delete ref;
    ref = next;
  }
  page->regionRefs = nullptr;
  page->regionRefCount = 0;
}

void FreeObjects(subtitle_region* region) {
  subtitle_region_object* object = region->objects;
  while (object != nullptr) {
    subtitle_region_object* next = object->next;
    delete object;
    object = next;
  }
  region->objects = nullptr;
}

void FreeBitmap(subtitle_context* ctx, subtitle_region* region) {
  if (region->pixels != nullptr) {
    ctx->regionBytes -= static_cast<size_t>(region->width) * static_cast<size_t>(region->height);
    delete[] region->pixels;
    region->pixels = nullptr;
  }
}

void FreeDefinitions(subtitle_context* ctx, subtitle_page* page) {
  subtitle_region* region = page->regions;
  while (region != nullptr) {
    subtitle_region* next = region->next;
    FreeObjects(region);
    FreeBitmap(ctx, region);
    delete region;
    region = next;
  }
  page->regions = nullptr;
  subtitle_clut* clut = page->cluts;
  while (clut != nullptr) {
    subtitle_clut* next = clut->next;
    delete clut;
    clut = next;
  }
  page->cluts = nullptr;
}

template <typename T>
void AppendTo(T** head, T* element) {
  while (*head != nullptr) head = &(*head)->next;
  *head = element;
}

void PageComposition(subtitle_context* ctx, const Window& w, const uint8_t* data, int length,
                     int pageId, subtitle_page* page) {
  const int timeOut = w.U8(data);
  const int version = w.U8(data + 1) >> 4;
  const int state = (w.U8(data + 1) >> 2) & 3;
  int consumed = 2;

  if (page == nullptr) {
    page = new (std::nothrow) subtitle_page;
    if (page == nullptr) {
      log("ERROR: No memory for page %d.\n", pageId);
      return;
    }
    page->pageId = pageId;
    AppendTo(&ctx->pages, page);
  } else if (page->version == version) {
    return;
  }

  if (state == 1 || state == 2) {
    ctx->redrawPending = 1;
    FreeRegionRefs(page);
  }
  // A mode change starts the page afresh: the regions and CLUTs that follow
  // belong to the new page and may well carry the version numbers of the old
  // ones (encoders that send every display set as a mode change keep their
  // CLUT at version 0). Were the old definitions kept, those segments would
  // be taken for repeats and the new picture drawn with the old colours.
  if (state == 2) FreeDefinitions(ctx, page);
  page->pageTimeOut = timeOut;
  page->version = version;

  bool capped = false;
  while (consumed < length) {
    const uint8_t* entry = data + consumed;
    consumed += 6;
    // An entry that runs past the packet has no address to give.
    if (!w.Has(entry, 6)) continue;
    if (page->regionRefCount >= kSubtitleMaxRegionRefs) {
      capped = true;
      continue;
    }
    auto* ref = new (std::nothrow) subtitle_page_region;
    if (ref == nullptr) continue;
    ref->regionId = w.U8(entry);
    ref->x = w.U16(entry + 2);
    ref->y = w.U16(entry + 4);
    AppendTo(&page->regionRefs, ref);
    ++page->regionRefCount;
  }
  if (capped) {
    log("ERROR: Page %d holds %d region references, further ones dropped.\n", pageId,
        kSubtitleMaxRegionRefs);
  }
  if (consumed != length) log("%d != %d\n", consumed, length);
}

void RegionComposition(subtitle_context* ctx, const Window& w, const uint8_t* data, int length,
                       subtitle_page* page) {
  if (page == nullptr) return;
  const int regionId = w.U8(data);
  const int version = w.U8(data + 1) >> 4;
  const bool fill = (w.U8(data + 1) & 0x08) != 0;

  subtitle_region* region = subtitle_find_region(page, regionId);
  if (region != nullptr) {
    if (region->version == version) return;
    FreeObjects(region);
    FreeBitmap(ctx, region);
  } else {
    region = new (std::nothrow) subtitle_region;
    if (region == nullptr) {
      log("ERROR: No memory for region %d.\n", regionId);
      return;
    }
    AppendTo(&page->regions, region);
  }

  region->version = version;
  region->regionId = regionId;
  region->width = w.U16(data + 2);
  region->height = w.U16(data + 4);
  const int depth = (w.U8(data + 6) >> 2) & 7;
  region->depth = depth;
  region->clutId = w.U8(data + 7);
  const int code8 = w.U8(data + 8);
  const int code4 = w.U8(data + 9) >> 4;
  const int code2 = (w.U8(data + 9) >> 2) & 3;
  int consumed = 10;

  // The size comes straight from the stream (up to 65,535 each way). What the
  // display cannot show is refused; the region stays in the list, empty, so
  // that repeats of this version are recognised and nothing is drawn for it.
  const size_t bytes = static_cast<size_t>(region->width) * static_cast<size_t>(region->height);
  if (region->width <= 0 || region->height <= 0 || region->width > ctx->display.width ||
      region->height > ctx->display.height) {
    log("ERROR: Region %d of %dx%d refused.\n", regionId, region->width, region->height);
    region->width = region->height = 0;
  } else if (ctx->regionBytes + bytes > kSubtitleMaxRegionBytes) {
    log("ERROR: Region %d of %dx%d refused, regions hold %zu bytes already.\n", regionId,
        region->width, region->height, ctx->regionBytes);
    region->width = region->height = 0;
  } else {
    region->pixels = new (std::nothrow) uint8_t[bytes];
    if (region->pixels == nullptr) {
      log("ERROR: No memory for region %d of %dx%d.\n", regionId, region->width, region->height);
      region->width = region->height = 0;
    } else {
      ctx->regionBytes += bytes;
      int value = 0;
      bool valid = true;
      if (fill) {
        switch (depth) {
          case 1: value = code2; break;
          case 2: value = code4; break;
          case 3: value = code8; break;
          default: valid = false; break;
        }
      }
      if (!valid) log("ERROR: Invalid depth for region.\n");
      // A region of an unknown depth starts transparent rather than with
      // whatever the heap held.
      std::memset(region->pixels, value, bytes);
    }
  }

  while (consumed < length) {
    const uint8_t* entry = data + consumed;
    const int type = w.U8(entry + 2) >> 6;
    consumed += (type == 1 || type == 2) ? 8 : 6;
    if (!w.Has(entry, 6)) continue;
    auto* object = new (std::nothrow) subtitle_region_object;
    if (object == nullptr) continue;
    object->objectId = w.U16(entry);
    object->objectType = type;
    object->providerFlag = (w.U8(entry + 2) >> 4) & 3;
    object->x = w.U16(entry + 2) & 0x0FFF;
    object->y = w.U16(entry + 4) & 0x0FFF;
    if (type == 1 || type == 2) {
      object->foregroundPixelCode = w.U8(entry + 6);
      object->backgroundPixelCode = w.U8(entry + 7);
    }
    AppendTo(&region->objects, object);
  }
  if (consumed != length) log("ERROR: Not enough data! (%d < %d)\n", length, consumed);
}

void ClutDefinition(const Window& w, const uint8_t* data, int length, subtitle_page* page) {
  if (page == nullptr) return;
  const int clutId = w.U8(data);
  const int version = w.U8(data + 1) >> 4;
  int consumed = 2;

  subtitle_clut* clut = subtitle_find_clut(page, clutId);
  if (clut != nullptr) {
    if (clut->version == version) return;
  } else {
    clut = new (std::nothrow) subtitle_clut;
    if (clut == nullptr) {
      log("ERROR: No memory for CLUT %d.\n", clutId);
      return;
    }
    AppendTo(&page->cluts, clut);
  }
  clut->clutId = clutId;
  clut->version = version;
  clut->count = 0;
  clut->count8 = 0;

  while (consumed < length) {
    const uint8_t* entry = data + consumed;
    const int id = w.U8(entry);
    const int flags = w.U8(entry + 1);
    const bool fullRange = (flags & 1) != 0;
    const int size = fullRange ? 6 : 4;
    consumed += size;
    if (!w.Has(entry, size)) break;
    uint8_t value[4];
    if (fullRange) {
      value[0] = entry[2];
      value[1] = entry[3];
      value[2] = entry[4];
      value[3] = entry[5];
    } else {
      // Reduced range: the bits go to the top of each byte.
      value[0] = static_cast<uint8_t>(entry[2] & 0xFC);
      value[1] = static_cast<uint8_t>(((entry[2] & 0x03) << 6) | ((entry[3] & 0xC0) >> 2));
      value[2] = static_cast<uint8_t>((entry[3] & 0x3C) << 2);
      value[3] = static_cast<uint8_t>((entry[3] & 0x03) << 6);
    }
    if ((flags & 0x20) != 0) {
      std::memcpy(clut->entries8[id], value, sizeof value);
      ++clut->count8;
    }
    if ((flags & 0xC0) == 0 || id >= 16) continue;
    std::memcpy(clut->entries[id], value, sizeof value);
    ++clut->count;
  }
}

// Decodes one field of an object, from `p` up to `fieldLength` bytes, never
// past `end`. Returns the bytes consumed, or -1 when the data are not pixel
// code strings.
int DecodeField(subtitle_context* ctx, subtitle_page* page, int objectId, int firstLine,
                const uint8_t* p, int fieldLength, const uint8_t* end) {
  int y = firstLine;
  int x = 0;
  int consumed = 0;
  while (consumed < fieldLength && p + consumed < end) {
    const int n = subtitle_process_pixel_data(ctx, page, objectId, y, x, p + consumed, end);
    if (n < 0) return -1;
    consumed += n;
  }
  return consumed;
}

void ObjectData(subtitle_context* ctx, const Window& w, const uint8_t* data, int length,
                subtitle_page* page) {
  const int objectId = w.U16(data);
  const int method = (w.U8(data + 2) >> 2) & 3;
  if (method == 1) {
    log("ERROR: object_coding_method 1 (strings?) is not implemented!\n");
    return;
  }
  if (method != 0 || page == nullptr) return;
  if (length < 7) {
    log("ERROR: Object %d: segment of %d bytes has no field lengths.\n", objectId, length);
    return;
  }
  const int top = w.U16(data + 3);
  const int bottom = w.U16(data + 5);
  const uint8_t* fields = data + 7;
  // A field never reads past its own segment; real streams carry objects
  // whose lengths claim far more than the segment holds. Nor past the
  // window: the segment's own length is not to be trusted either.
  const uint8_t* end = w.Has(data, length) ? data + length : w.end;
  if (top + bottom > length - 7) {
    log("ERROR: Object %d: fields of %d + %d bytes in %d bytes.\n", objectId, top, bottom,
        length - 7);
  }

  ctx->lineWidth = 0;
  ctx->decodeLine = ctx->decodeLine8 = false;
  for (subtitle_region* r = page->regions; r != nullptr; r = r->next) {
    for (subtitle_region_object* o = r->objects; o != nullptr; o = o->next) {
      if (o->objectId != objectId) continue;
      ctx->lineWidth = std::max(ctx->lineWidth, r->width - o->x);
      (r->depth == 3 ? ctx->decodeLine8 : ctx->decodeLine) = true;
    }
  }
  if (ctx->lineWidth <= 0) ctx->lineWidth = kSubtitleScreenWidth;

  // Each field has a block of its own: damage in the top field's data ends
  // that block only, and the bottom field still begins where the top
  // field's block length says.
  int topUsed = DecodeField(ctx, page, objectId, 0, fields, top, end);
  if (topUsed < 0) topUsed = top;
  if (bottom == 0) {
    if (top != 0) log("ERROR: Unimplemented, no bottom field! (%d : %d)\n", top, 0);
    ctx->decodeLine = ctx->decodeLine8 = true;
    return;
  }
  if (topUsed <= length - 7) DecodeField(ctx, page, objectId, 1, fields + topUsed, bottom, end);
  ctx->decodeLine = ctx->decodeLine8 = true;
}

// The display the page's regions are placed in. A definition that cannot be
// shown safely is refused with one line, and the display stays as it was;
// its version is kept all the same, so its repeats say nothing more.
void DisplayDefinition(subtitle_context* ctx, const Window& w, const uint8_t* data, int length) {
  const int version = w.U8(data) >> 4;
  const bool hasWindow = (w.U8(data) & 0x08) != 0;
  subtitle_display& current = ctx->display;
  if (current.version == version) return;
  current.version = version;

  subtitle_display d;
  d.version = version;
  d.width = w.U16(data + 1) + 1;
  d.height = w.U16(data + 3) + 1;
  d.x0 = d.y0 = 0;
  d.x1 = d.width;
  d.y1 = d.height;
  if (d.width > kSubtitleMaxDisplaySize || d.height > kSubtitleMaxDisplaySize) {
    log("ERROR: Display of %dx%d refused.\n", d.width, d.height);
    return;
  }
  if (hasWindow) {
    if (length < 13 || !w.Has(data, 13)) {
      log("ERROR: Display definition of %d bytes has no room for its window.\n", length);
      return;
    }
    const int xMin = w.U16(data + 5);
    const int xMax = w.U16(data + 7);
    const int yMin = w.U16(data + 9);
    const int yMax = w.U16(data + 11);
    if (xMin > xMax || yMin > yMax || xMax >= d.width || yMax >= d.height) {
      log("ERROR: Display window %d..%d x %d..%d does not fit the %dx%d display.\n", xMin, xMax,
          yMin, yMax, d.width, d.height);
      return;
    }
    d.x0 = xMin;
    d.y0 = yMin;
    d.x1 = xMax + 1;
    d.y1 = yMax + 1;
  }
  // A stream that declares the screen itself, as encoders commonly do for
  // standard definition, changes nothing and says nothing.
  const bool same = d.width == current.width && d.height == current.height && d.x0 == current.x0 &&
                    d.y0 == current.y0 && d.x1 == current.x1 && d.y1 == current.y1;
  current = d;
  if (same) return;
  if (hasWindow) {
    log("Display %dx%d, window %d,%d -> %d,%d\n", d.width, d.height, d.x0, d.y0, d.x1, d.y1);
  } else {
    log("Display %dx%d\n", d.width, d.height);
  }
}

void EndOfDisplaySet(subtitle_context* ctx) {
  FrameBuffer* fb = ctx->frameBuffer;
  if (fb != nullptr) fb->Lock();
  subtitle_clear_bbox(ctx);
  if (ctx->redrawPending == 1) {
    ctx->redrawPending = 0;
    if (ctx->enabled == 1) subtitle_redraw_all(ctx);
  }
  if (fb != nullptr) fb->Unlock();
}

}  // namespace

subtitle_page* subtitle_find_page(subtitle_context* ctx, int pageId) {
  for (subtitle_page* p = ctx->pages; p != nullptr; p = p->next) {
    if (p->pageId == pageId) return p;
  }
  return nullptr;
}

subtitle_region* subtitle_find_region(subtitle_page* page, int regionId) {
  for (subtitle_region* r = page->regions; r != nullptr; r = r->next) {
    if (r->regionId == regionId) return r;
  }
  return nullptr;
}

subtitle_clut* subtitle_find_clut(subtitle_page* page, int clutId) {
  for (subtitle_clut* c = page->cluts; c != nullptr; c = c->next) {
    if (c->clutId == clutId) return c;
  }
  return nullptr;
}

void subtitle_free_pages(subtitle_context* ctx) {
  subtitle_page* page = ctx->pages;
  while (page != nullptr) {
    subtitle_page* nextPage = page->next;
    FreeRegionRefs(page);
    FreeDefinitions(ctx, page);
    delete page;
    page = nextPage;
  }
  ctx->pages = nullptr;
  // The next stream starts on the screen's own display again.
  ctx->display = subtitle_display();
}

int subtitle_process_segment(subtitle_context* ctx, const uint8_t* segment, int available) {
  const Window w{segment, segment + (available > 0 ? available : 0)};
  if (w.U8(segment) != 0x0F) {
    log("ERROR: Out of sync.\n");
    return -1;
  }
  const int type = w.U8(segment + 1);
  const int pageId = w.U16(segment + 2);
  const int length = w.U16(segment + 4);
  const int total = 6 + length;
  if (type == 0xFF) return total;

  subtitle_page* page = subtitle_find_page(ctx, pageId);
  const uint8_t* data = segment + 6;
  // The fixed part of each segment must lie inside the segment itself;
  // the variable entries are bounded by the packet through the window.
  auto tooShort = [&](int need) {
    if (length >= need) return false;
    log("ERROR: Segment %02x of %d bytes is too short.\n", type, length);
    return true;
  };
  switch (type) {
    case 0x10:
      if (!tooShort(2)) PageComposition(ctx, w, data, length, pageId, page);
      break;
    case 0x11:
      if (!tooShort(10)) RegionComposition(ctx, w, data, length, page);
      break;
    case 0x12:
      if (!tooShort(2)) ClutDefinition(w, data, length, page);
      break;
    case 0x13:
      if (!tooShort(3)) ObjectData(ctx, w, data, length, page);
      break;
    case 0x14:
      if (!tooShort(5)) DisplayDefinition(ctx, w, data, length);
      break;
    case 0x80:
      EndOfDisplaySet(ctx);
      break;
    default:
      log("ERROR: Unhandled segment type %02x\n", type);
      break;
  }
  return total;
}

void subtitle_process_pes(subtitle_context* ctx, const uint8_t* data, uint32_t size) {
  if (data == nullptr) size = 0;
  const int64_t total = size;
  // The start code and stream id are checked as far as the bytes reach,
  // before the length: a short packet of another stream says so.
  if (total >= 3 && (data[0] != 0x00 || data[1] != 0x00 || data[2] != 0x01)) {
    log("%s: invalid startcode %02x %02x %02x\n", "subtitle_process_pes", data[0], data[1],
        data[2]);
    return;
  }
  if (total >= 4 && data[3] != 0xBD) {
    log("%s: invalid stream_id %02x\n", "subtitle_process_pes", data[3]);
    return;
  }
  // Too short for even the header length byte.
  if (total < 9) {
    log("ERROR: No data left (%d)\n", static_cast<int>(total - 11));
    return;
  }
  const int header = data[8];
  if (total < 10 + header) {
    log("ERROR: No data left (%d)\n", static_cast<int>(total - 11 - header));
    return;
  }
  const uint8_t* p = data + 9 + header;
  if (*p != 0x20) {
    log("ERROR: Data identifier is 0x%02x, but not 0x20\n", *p);
    return;
  }
  p += 2;
  int64_t remaining = total - 11 - header;
  if (remaining <= 0) {
    log("ERROR: No data left (%d)\n", static_cast<int>(remaining));
    return;
  }

  while (remaining > 0 && *p == 0x0F) {
    // A segment whose header or declared length does not fit is not parsed.
    if (remaining < 6) break;
    const int length = (p[4] << 8) | p[5];
    if (6 + length > remaining) break;
    const int n = subtitle_process_segment(ctx, p, static_cast<int>(remaining));
    if (n < 0) break;
    remaining -= n;
    p += n;
  }
  if (remaining == 0 || *p == 0xFF) return;
  log("ERROR: Strange data at the end\n");
}
