#include "dvbsub/dvb_subtitle.h"

#include "common/log.h"
#include "config/config.h"
#include "display/frame_buffer.h"

DVBSubtitle::DVBSubtitle() {
  log("DVBSubtitle created.\n");
  context.bbox = subtitle_bbox{};
}

DVBSubtitle::~DVBSubtitle() { subtitle_free_pages(&context); }

uint32_t DVBSubtitle::processPES(const PESPacket& packet) {
  log("--------- RECEIVE PES START ---------\n");
  context.nextPageTimeout = 0;
  subtitle_process_pes(&context, packet.data, packet.size);
  log("---------  RECEIVE PES END  ---------\n");
  return static_cast<uint32_t>(context.nextPageTimeout) * 1000u;
}

uint32_t DVBSubtitle::clear(const int64_t&) {
  log("Force CLEAR SCREEN.\n");
  FrameBuffer* fb = context.frameBuffer;
  if (fb != nullptr) fb->Lock();
  subtitle_clear_bbox(&context);
  if (fb != nullptr) fb->Unlock();
  return 0;
}

int DVBSubtitle::configure() {
  context.enabled = 0;
  subtitle_free_pages(&context);
  context.bbox = subtitle_bbox{};
  if (config != nullptr) {
    int value = context.maxShowTime;
    config->getValue("DVBMaxShowTime", value);
    // A negative cap would hand the PES filter a deadline in the past; it
    // means nothing, so it counts as no cap.
    if (value < 0) {
      log("DVBMaxShowTime %d is negative, no cap used\n", value);
      value = 0;
    }
    context.maxShowTime = value;
  }
  log("DVB Subtitle uses MaxShowTime: %d\n", context.maxShowTime);
  context.frameBuffer = frameBuffer;
  subtitle_free_pages(&context);
  subtitle_enable(&context, 1);
  return 0;
}

int DVBSubtitle::stop() {
  log("Stop DVBSubtitle\n");
  if (context.enabled == 1) {
    subtitle_free_pages(&context);
    subtitle_enable(&context, 0);
  }
  return 0;
}
