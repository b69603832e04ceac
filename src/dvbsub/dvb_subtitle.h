#pragma once

#include <cstdint>

#include "common/subtitle.h"
#include "dvbsub/subtitle_context.h"

class Config;
class FrameBuffer;

// The DVB bitmap subtitle decoder behind the common decoder interface: feeds
// each due packet to the decoder functions and reports, in milliseconds, how
// long what it drew is to stay.
class DVBSubtitle : public Subtitle {
 public:
  DVBSubtitle();
  DVBSubtitle(const DVBSubtitle&) = delete;
  DVBSubtitle& operator=(const DVBSubtitle&) = delete;
  uint32_t processPES(const PESPacket& packet) override;
  uint32_t clear(const int64_t& stc) override;
  ~DVBSubtitle() override;

  // Starts a decoding run (main thread, before the PES filter starts).
  int configure();
  // Ends a decoding run (main thread, after the PES filter has stopped).
  int stop();

  // Set by decoder control before configure; both not owned.
  Config* config = nullptr;
  FrameBuffer* frameBuffer = nullptr;

  // The decoder's state; public so that tests and tools can look at it.
  subtitle_context context;
};
