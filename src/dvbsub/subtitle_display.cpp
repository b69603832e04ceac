// Putting decoded pages on the screen, taking them off again and working out
// how long they stay.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "display/frame_buffer.h"
#include "dvbsub/subtitle_context.h"

namespace {

void MakeBoxEmpty(subtitle_context* ctx) {
  ctx->bbox.x0 = kSubtitleScreenWidth;
  ctx->bbox.y0 = kSubtitleScreenHeight;
  ctx->bbox.x1 = 0;
  ctx->bbox.y1 = 0;
}

int Clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Puts the part of a region that lies on the screen there. BlitBitmap takes
// whole rows of its bitmap, so a region cut at the right edge is copied into
// a narrower bitmap first.
void BlitClipped(FrameBuffer* fb, const subtitle_region* region, int x, int y) {
  const int w = std::min(region->width, kSubtitleScreenWidth - x);
  const int h = std::min(region->height, kSubtitleScreenHeight - y);
  if (w <= 0 || h <= 0) return;
  if (w == region->width) {
    fb->BlitBitmap(region->pixels, w, h, x, y);
    return;
  }
  std::vector<uint8_t> clipped(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (int row = 0; row < h; ++row) {
    std::memcpy(clipped.data() + static_cast<size_t>(row) * w,
                region->pixels + static_cast<size_t>(row) * region->width, static_cast<size_t>(w));
  }
  fb->BlitBitmap(clipped.data(), w, h, x, y);
}

// Where a region of a declared display lands on the screen. The display and
// the screen both stand for the whole picture, so each axis is scaled on its
// own: 1920 x 1080 by 3/8 across and 8/15 down. On a 16:9 television the
// screen is widened by 64/45, which makes the 3/8 across exactly the 8/15
// down again: the broadcaster's square pixels come out square. Screen pixel
// (X, Y) shows display pixel (X * width / 720, Y * height / 576), nearest
// neighbour, so a bitmap's palette indices pass unchanged.
struct ScreenPlace {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // on the screen, x1 and y1 exclusive
  int64_t left = 0, top = 0;           // the region's origin on the display
};

int64_t CeilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

// False when no screen pixel shows any of the region: it lies outside the
// window, or falls between two sampled columns or rows.
bool PlaceOnScreen(const subtitle_display& d, const subtitle_region* region, int x, int y,
                   ScreenPlace& place) {
  place.left = int64_t{d.x0} + x;
  place.top = int64_t{d.y0} + y;
  // The part of the region inside the window, in display pixels.
  const int64_t cx0 = std::max<int64_t>(place.left, d.x0);
  const int64_t cy0 = std::max<int64_t>(place.top, d.y0);
  const int64_t cx1 = std::min<int64_t>(place.left + region->width, d.x1);
  const int64_t cy1 = std::min<int64_t>(place.top + region->height, d.y1);
  if (cx0 >= cx1 || cy0 >= cy1) return false;
  place.x0 = static_cast<int>(CeilDiv(cx0 * kSubtitleScreenWidth, d.width));
  place.x1 = static_cast<int>(CeilDiv(cx1 * kSubtitleScreenWidth, d.width));
  place.y0 = static_cast<int>(CeilDiv(cy0 * kSubtitleScreenHeight, d.height));
  place.y1 = static_cast<int>(CeilDiv(cy1 * kSubtitleScreenHeight, d.height));
  return place.x0 < place.x1 && place.y0 < place.y1;
}

// The screen's pixels of a placed region, sampled from its bitmap. The
// window lies inside the display, so the result is never larger than the
// screen.
void BlitScaled(FrameBuffer* fb, const subtitle_display& d, const subtitle_region* region,
                const ScreenPlace& place) {
  const int w = place.x1 - place.x0;
  const int h = place.y1 - place.y0;
  std::vector<int> columns(static_cast<size_t>(w));
  for (int c = 0; c < w; ++c) {
    columns[c] = static_cast<int>(int64_t{place.x0 + c} * d.width / kSubtitleScreenWidth -
                                  place.left);
  }
  std::vector<uint8_t> scaled(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (int r = 0; r < h; ++r) {
    const int64_t row = int64_t{place.y0 + r} * d.height / kSubtitleScreenHeight - place.top;
    const uint8_t* in = region->pixels + static_cast<size_t>(row) * region->width;
    uint8_t* out = scaled.data() + static_cast<size_t>(r) * w;
    for (int c = 0; c < w; ++c) out[c] = in[columns[c]];
  }
  fb->BlitBitmap(scaled.data(), w, h, place.x0, place.y0);
}

// Whether something else is on the screen in column x, every other row of
// [first, end). The daemon's own message line is no other picture: counted,
// it would make the decoder drop a subtitle each time a message is shown.
bool ForeignPixelSet(FrameBuffer* fb, int x, int first, int end) {
  const int top = FrameBuffer::kMessageLineTop;
  const int bottom = top + FrameBuffer::kMessageLineHeight;
  int after = std::max(first, bottom);
  if ((after - first) & 1) ++after;  // the same rows as one run from `first`
  return fb->AnyPixelSet(x, first, std::min(end, top), 2) || fb->AnyPixelSet(x, after, end, 2);
}

bool InMessageLine(int y) {
  return y >= FrameBuffer::kMessageLineTop &&
         y < FrameBuffer::kMessageLineTop + FrameBuffer::kMessageLineHeight;
}

}  // namespace

uint32_t subtitle_ycrcb_to_colour(const uint8_t entry[4]) {
  if (entry[0] == 0) return 0;
  const int y = entry[0] - 16;
  const int r = entry[1] - 128;
  const int b = entry[2] - 128;
  const int red = Clamp255((298 * y + 460 * r) / 256);
  const int green = Clamp255((298 * y - 137 * r - 55 * b) / 256);
  const int blue = Clamp255((298 * y + 543 * b) / 256);
  const int opacity = 255 - entry[3];
  return static_cast<uint32_t>(red) << 24 | static_cast<uint32_t>(green) << 16 |
         static_cast<uint32_t>(blue) << 8 | static_cast<uint32_t>(opacity);
}

uint32_t subtitle_default_colour(int i) {
  if (i <= 0 || i > 15) return 0;
  const uint32_t level = i < 8 ? 0xFF : 0x80;
  uint32_t colour = 0xFF;
  if (i & 1) colour |= level << 24;
  if (i & 2) colour |= level << 16;
  if (i & 4) colour |= level << 8;
  return colour;
}

void subtitle_set_palette(subtitle_context* ctx, const subtitle_clut* clut, int depth) {
  FrameBuffer* fb = ctx->frameBuffer;
  if (fb == nullptr) return;
  if (depth != 3 && clut != nullptr && clut->count == 0) return;
  // Which entries the colours come from, as a kind and a source table.
  enum Kind { kFull8 = 1, kNibble8, kDefault8, kClut4, kClut2, kDefault4 };
  Kind kind;
  const uint8_t* source = nullptr;
  size_t sourceBytes = 0;
  if (depth == 3 && clut != nullptr && clut->count8 > 0) {
    kind = kFull8;
    source = &clut->entries8[0][0];
    sourceBytes = sizeof clut->entries8;
  } else if (depth == 3 && clut == nullptr) {
    kind = kDefault8;
  } else if (depth == 3 && clut->count > 0) {
    kind = kNibble8;
  } else if (clut == nullptr) {
    kind = kDefault4;
  } else if (depth == 3) {
    return;  // an 8-bit region whose CLUT defines nothing
  } else {
    kind = depth == 1 ? kClut2 : kClut4;
  }
  if (source == nullptr && clut != nullptr) {
    source = &clut->entries[0][0];
    sourceBytes = sizeof clut->entries;
  }
  if (ctx->paletteScreen == fb && ctx->paletteKind == kind &&
      (sourceBytes == 0 || std::memcmp(ctx->paletteEntries, source, sourceBytes) == 0)) {
    return;
  }
  ctx->paletteScreen = fb;
  ctx->paletteKind = kind;
  if (sourceBytes != 0) std::memcpy(ctx->paletteEntries, source, sourceBytes);

  // A region of 8 bits per pixel holds the codes as sent: it shows the 8-bit
  // entries when its CLUT has them, and otherwise code c with the 4-bit
  // entry c >> 4, as a 4-bit code k (stored as k * 0x11) shows entry k.
  if (kind == kFull8) {
    for (int c = 1; c < 256; ++c) fb->SetPaletteColor(c, subtitle_ycrcb_to_colour(clut->entries8[c]));
    return;
  }
  if (kind == kNibble8 || kind == kDefault8) {
    for (int c = 1; c < 256; ++c) {
      const int k = c >> 4;
      fb->SetPaletteColor(c, clut == nullptr ? subtitle_default_colour(k)
                                             : subtitle_ycrcb_to_colour(clut->entries[k]));
    }
    return;
  }
  // A region's bitmap holds raw fill codes k (0 to 15) and decoded pixels
  // 0xF0 | k; both must show CLUT entry k. Index 0 stays transparent: the
  // blit leaves such pixels alone anyway. All 16 entries are loaded, so an
  // entry the definition did not mention shows as transparent rather than
  // with the colour another region's CLUT left in the palette.
  fb->SetPaletteColor(0, 0);
  for (int k = 0; k < 16; ++k) {
    const uint32_t colour =
        clut == nullptr ? subtitle_default_colour(k) : subtitle_ycrcb_to_colour(clut->entries[k]);
    if (k != 0) fb->SetPaletteColor(k, colour);
    fb->SetPaletteColor(0xF0 | k, colour);
  }
  // A region of 2 bits per pixel shows its 2-bit codes 0 to 3 with the
  // CLUT's entries 0 to 3. The pixel decoder has stored those codes through
  // the default 2-to-4-bit map, as 0xF0, 0xF7, 0xF8 and 0xFF, so these
  // three values must show entries 1 to 3 rather than 7, 8 and 15, or a
  // stream that defines only the 2-bit entries (as encoders commonly do)
  // draws nothing at all. The default palette needs no such step: its
  // entries 7, 8 and 15 already are the 2-bit defaults white, black, grey.
  if (kind == kClut2) {
    fb->SetPaletteColor(0xF7, subtitle_ycrcb_to_colour(clut->entries[1]));
    fb->SetPaletteColor(0xF8, subtitle_ycrcb_to_colour(clut->entries[2]));
    fb->SetPaletteColor(0xFF, subtitle_ycrcb_to_colour(clut->entries[3]));
  }
}

int subtitle_pixel_is_set(subtitle_context* ctx, int x, int y) {
  if ((y >= ctx->bbox.y0 && y <= ctx->bbox.y1) || InMessageLine(y)) return 0;
  return ctx->frameBuffer->AnyPixelSet(x, y, y + 1, 1) ? 1 : 0;
}

int subtitle_screen_is_free(subtitle_context* ctx) {
  if (ctx->frameBuffer == nullptr) return 0;
  // The probe column on every other row, less the rows of the box, the
  // same pixels subtitle_pixel_is_set looks at, read in two runs.
  const int x = kSubtitleScreenWidth / 2;
  const int y0 = ctx->bbox.y0;
  const int y1 = ctx->bbox.y1;
  FrameBuffer* fb = ctx->frameBuffer;
  if (y0 > y1) return ForeignPixelSet(fb, x, 0, kSubtitleScreenHeight) ? 0 : 1;
  // The even rows before y0, then those after y1.
  const int above = std::clamp(y0, 0, kSubtitleScreenHeight);
  const int below = std::clamp((y1 + 2) & ~1, 0, kSubtitleScreenHeight);
  const bool set =
      ForeignPixelSet(fb, x, 0, above) || ForeignPixelSet(fb, x, below, kSubtitleScreenHeight);
  return set ? 0 : 1;
}

void subtitle_clear_bbox(subtitle_context* ctx) {
  subtitle_bbox& box = ctx->bbox;
  box.x1 = kSubtitleScreenWidth;
  if (box.x0 < kSubtitleScreenWidth && ctx->frameBuffer != nullptr &&
      subtitle_screen_is_free(ctx)) {
    log("  BBOX clear %d:%d -> %d:%d\n", box.x0, box.y0, box.x1, box.y1);
    const int top = std::max(box.y0, 0);
    const int bottom = std::min(box.y1, kSubtitleScreenHeight);
    if (bottom > top) ctx->frameBuffer->FillRect(0, top, kSubtitleScreenWidth, bottom - top, 0);
  }
  MakeBoxEmpty(ctx);
}

void subtitle_redraw_page(subtitle_context* ctx, int pageId) {
  log("  Redraw Page: %d\n", pageId);
  subtitle_page* page = subtitle_find_page(ctx, pageId);
  if (page == nullptr) return;

  FrameBuffer* fb = ctx->frameBuffer;
  bool drawn = false;
  bool haveFirst = false;
  int first = 0;
  for (subtitle_page_region* ref = page->regionRefs; ref != nullptr; ref = ref->next) {
    // Normal-case compositions append to the list; from the first repeat of
    // the first region on, the list only says again what was drawn already.
    if (haveFirst && ref->regionId == first) break;
    if (!haveFirst) {
      haveFirst = true;
      first = ref->regionId;
    }
    log("    Draw Region: %d\n", ref->regionId);
    subtitle_region* region = subtitle_find_region(page, ref->regionId);
    if (region == nullptr) {
      log("ERROR: Region not found.\n");
      continue;
    }
    drawn = true;
    if (region->pixels == nullptr) continue;  // refused size: nothing to show
    subtitle_set_palette(ctx, subtitle_find_clut(page, region->clutId), region->depth);

    const int x = ref->x;
    const int y = ref->y;
    subtitle_bbox& box = ctx->bbox;
    if (!ctx->display.IsScreen()) {
      ScreenPlace place;
      if (!PlaceOnScreen(ctx->display, region, x, y, place)) continue;
      box.x0 = std::min(box.x0, place.x0);
      box.y0 = std::min(box.y0, place.y0);
      box.x1 = std::max(box.x1, place.x1);
      box.y1 = std::max(box.y1, place.y1);
      if (fb != nullptr && subtitle_screen_is_free(ctx)) BlitScaled(fb, ctx->display, region, place);
      continue;
    }
    if (x > kSubtitleScreenWidth || y > kSubtitleScreenHeight) continue;
    box.x0 = std::min(box.x0, x);
    box.y0 = std::min(box.y0, y);
    box.x1 = std::max(box.x1, x + region->width);
    box.y1 = std::max(box.y1, y + region->height);
    if (fb != nullptr && subtitle_screen_is_free(ctx)) BlitClipped(fb, region, x, y);
  }

  if (drawn) {
    if (ctx->maxShowTime != 0) {
      const int t = std::min(page->pageTimeOut, ctx->maxShowTime);
      ctx->nextPageTimeout = t;
      log("  nextPageTimeout[%d] = MIN(%d, %d) = %d\n", pageId, ctx->maxShowTime,
          page->pageTimeOut, t);
    } else {
      ctx->nextPageTimeout = page->pageTimeOut;
      log("  nextPageTimeout[%d] = %d\n", pageId, ctx->nextPageTimeout);
    }
    if (ctx->nextPageTimeout == 0) {
      ctx->nextPageTimeout = 6;
      log("  nextPageTimeout[%d] = [FORCED TO MAX 6 seconds] %d\n", pageId, 6);
    }
  } else {
    log("  Nothing drawn...keep next clear time from old setting.\n");
    log("  nextPageTimeout[%d] = %d\n", pageId, ctx->nextPageTimeout);
    ctx->nextPageTimeout = 0;
    log("  Nothing drawn...Remove cleartime.\n");
    log("  nextPageTimeout[%d] = %d\n", pageId, 0);
  }
}

void subtitle_redraw_all(subtitle_context* ctx) {
  for (subtitle_page* page = ctx->pages; page != nullptr; page = page->next) {
    subtitle_redraw_page(ctx, page->pageId);
  }
}

void subtitle_enable(subtitle_context* ctx, int on) {
  if (ctx->enabled == on) return;
  ctx->enabled = on;
  FrameBuffer* fb = ctx->frameBuffer;
  if (fb == nullptr) return;
  fb->Lock();
  if (subtitle_screen_is_free(ctx)) {
    if (on) {
      subtitle_redraw_all(ctx);
    } else {
      fb->FillRect(0, 0, kSubtitleScreenWidth, kSubtitleScreenHeight, 0);
    }
  }
  fb->Unlock();
}
