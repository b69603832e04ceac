#pragma once

#include <cstdint>

#include "common/subtitle.h"

class Config;
class FrameBuffer;

// The DVB bitmap subtitle decoder behind the common decoder interface.
class DVBSubtitle : public Subtitle {
 public:
  DVBSubtitle();
  uint32_t processPES(const PESPacket& packet) override;
  uint32_t clear(const int64_t& stc) override;
  ~DVBSubtitle() override;

  int configure();
  int stop();

  // Set by decoder control before configure; both not owned.
  Config* config = nullptr;
  FrameBuffer* frameBuffer = nullptr;
};
