#pragma once

// The DVB bitmap subtitle decoder proper: plain records with singly linked,
// heap-allocated lists that the free functions below build, draw and release.
// Everything here runs on one thread at a time (the PES reader thread while
// decoding, the main thread while it is not), so nothing takes a lock except
// the FrameBuffer's drawing lock around the drawing sequences.

#include <cstddef>
#include <cstdint>

class FrameBuffer;

// The screen the decoder draws on, whatever the device reports.
constexpr int kSubtitleScreenWidth = 720;
constexpr int kSubtitleScreenHeight = 576;

// A region may not be larger than the display it is placed in; all regions
// of all pages together may hold at most this many bitmap bytes (sixteen
// full screens, three full HD displays), so a stream cannot make the decoder
// take memory without bound.
constexpr size_t kSubtitleMaxRegionBytes = 16u * 720u * 576u;
// The largest display a stream may declare, each way. HD services declare
// 1920 x 1080 or 1280 x 720; nothing is allocated at the display's size, but
// an object line is decoded into a buffer this wide.
constexpr int kSubtitleMaxDisplaySize = 4096;
// Normal-case page compositions append their references; a stream that never
// sends a refresh would otherwise grow the list for ever.
constexpr int kSubtitleMaxRegionRefs = 1024;

struct subtitle_page_region {
  int regionId = 0;
  int x = 0;
  int y = 0;
  subtitle_page_region* next = nullptr;
};

struct subtitle_region_object {
  int objectId = 0;
  int objectType = 0;
  int providerFlag = 0;
  int x = 0;
  int y = 0;
  int foregroundPixelCode = 0;
  int backgroundPixelCode = 0;
  subtitle_region_object* next = nullptr;
};

struct subtitle_region {
  int regionId = 0;
  int version = 0;
  int height = 0;
  int width = 0;
  // width * height palette indices, row after row; null for a region whose
  // size was refused (it then draws nothing and receives no lines).
  uint8_t* pixels = nullptr;
  int clutId = 0;
  subtitle_region_object* objects = nullptr;
  subtitle_region* next = nullptr;
  // region_depth: 1 for 2 bits per pixel, 2 for 4, 3 for 8. It decides
  // which CLUT entries the region's pixels show (subtitle_set_palette).
  int depth = 2;
};

struct subtitle_clut {
  int clutId = 0;
  int count = 0;
  uint8_t entries[16][4] = {};  // Y, Cr, Cb, T, full range
  int version = 0;
  subtitle_clut* next = nullptr;
  // The entries flagged for the 8-bit CLUT, which 8-bit regions show, and
  // how many the last definition stored.
  int count8 = 0;
  uint8_t entries8[256][4] = {};
};

struct subtitle_page {
  int pageId = 0;
  int pageTimeOut = 0;
  int version = 0;
  subtitle_page_region* regionRefs = nullptr;
  subtitle_region* regions = nullptr;
  subtitle_clut* cluts = nullptr;
  subtitle_page* next = nullptr;
  int regionRefCount = 0;  // length of regionRefs, for the cap above
};

// The display the regions are placed in, as the last accepted display
// definition declared it: 720 x 576 without a window until a stream says
// otherwise, and again once the pages are released.
struct subtitle_display {
  int version = -1;  // of the last display definition read, -1 for none
  int width = kSubtitleScreenWidth;
  int height = kSubtitleScreenHeight;
  // The window the page's region addresses count from and that the regions
  // are cut to, in display pixels, x1 and y1 exclusive; the whole display
  // when the definition has no window.
  int x0 = 0;
  int y0 = 0;
  int x1 = kSubtitleScreenWidth;
  int y1 = kSubtitleScreenHeight;

  // Whether regions land on the screen where their addresses say, as they
  // do for a stream without a display definition.
  bool IsScreen() const {
    return width == kSubtitleScreenWidth && height == kSubtitleScreenHeight && x0 == 0 &&
           y0 == 0 && x1 == width && y1 == height;
  }
};

struct subtitle_bbox {
  int x0 = 0;
  int y0 = 0;
  int x1 = 0;
  int y1 = 0;
};

struct subtitle_context {
  subtitle_page* pages = nullptr;
  int enabled = 0;
  int redrawPending = 0;
  FrameBuffer* frameBuffer = nullptr;
  subtitle_bbox bbox;
  int nextPageTimeout = 0;
  int maxShowTime = 0;
  subtitle_display display;

  // Pixel decoding state. It lives here rather than in the process so that
  // each context (and each test) starts from a known state. The map table
  // survives from one call to the next until an end of object line, so a
  // table sent inside a line holds until that line ends.
  // Runs are stored sixteen bytes at a time, so each line has that much
  // slack beyond its last column. A line is as wide as the widest display.
  uint8_t line[kSubtitleMaxDisplaySize + 16] = {};
  // The same line at full depth, for regions of 8 bits per pixel: 8-bit
  // codes as sent, 2- and 4-bit codes through the default map to 8 bits.
  uint8_t line8[kSubtitleMaxDisplaySize + 16] = {};
  // Which of the two lines the regions placing the object being decoded
  // show (line8 for 8-bit regions, line for the others); only those are
  // filled.
  bool decodeLine = true;
  bool decodeLine8 = true;
  // The widest line any region placing the object being decoded can show.
  int lineWidth = kSubtitleScreenWidth;
  int mapTable[4] = {0, 7, 8, 15};

  // Bitmap bytes currently held by all regions of all pages.
  size_t regionBytes = 0;

  // What subtitle_set_palette last loaded into the palette of `paletteScreen`
  // (the decoder is that palette's only user): the colours follow from these
  // alone, so a region drawn with the same CLUT again loads nothing.
  const FrameBuffer* paletteScreen = nullptr;
  int paletteKind = 0;
  uint8_t paletteEntries[256][4] = {};
};

// The bit reader of the pixel code strings: `width` bits per read (2, 4 or
// 8), most significant first, never past `end`. A read at the end yields 0
// and sets `exhausted`.
struct bitstream {
  const uint8_t* data = nullptr;
  const uint8_t* end = nullptr;
  int width = 0;
  int bitsLeft = 8;
  int consumed = 0;
  bool exhausted = false;
};

void bitstream_init(bitstream* bs, const uint8_t* data, const uint8_t* end, int width);
unsigned bitstream_get(bitstream* bs);

// Parsing. `data`/`size` is one whole PES packet from its start code.
void subtitle_process_pes(subtitle_context* ctx, const uint8_t* data, uint32_t size);
// `segment` points at a sync byte with `available` bytes of the packet from
// there on. Returns the bytes the segment occupies, or -1 to stop the packet.
int subtitle_process_segment(subtitle_context* ctx, const uint8_t* segment, int available);

// Pixel data. `data` points at a data_type byte; nothing at or after `end` is
// read. y and x are the object line and the pixels in the line buffer.
// Returns the bytes of the sub-block, data_type included, or -1 for an
// unknown data_type.
int subtitle_process_pixel_data(subtitle_context* ctx, subtitle_page* page, int objectId, int& y,
                                int& x, const uint8_t* data, const uint8_t* end);
// `line8`, when given, is what regions of 8 bits per pixel receive instead.
void subtitle_write_line(subtitle_page* page, int objectId, int y, const uint8_t* line, int length,
                         const uint8_t* line8 = nullptr);

// Display.
int subtitle_pixel_is_set(subtitle_context* ctx, int x, int y);
int subtitle_screen_is_free(subtitle_context* ctx);
// `depth` is the region_depth of the region about to be drawn.
void subtitle_set_palette(subtitle_context* ctx, const subtitle_clut* clut, int depth = 2);
void subtitle_clear_bbox(subtitle_context* ctx);
void subtitle_redraw_page(subtitle_context* ctx, int pageId);
void subtitle_redraw_all(subtitle_context* ctx);
void subtitle_enable(subtitle_context* ctx, int on);
void subtitle_free_pages(subtitle_context* ctx);

// The colour word (red, green, blue, opacity from the top byte down) of one
// CLUT entry; 0 for an entry whose Y is 0.
uint32_t subtitle_ycrcb_to_colour(const uint8_t entry[4]);
// The colour word of the default palette's index i (0 to 15).
uint32_t subtitle_default_colour(int i);

// Lookups on a page, first element with the id, or null.
subtitle_page* subtitle_find_page(subtitle_context* ctx, int pageId);
subtitle_region* subtitle_find_region(subtitle_page* page, int regionId);
subtitle_clut* subtitle_find_clut(subtitle_page* page, int clutId);
