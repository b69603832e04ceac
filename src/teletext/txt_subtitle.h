#pragma once

#include <cstdint>
#include <string>

#include "common/subtitle.h"

class Config;
class FrameBuffer;

// Decodes the teletext subtitle page of one stream and draws its rows.
class TXTSubtitle : public Subtitle {
 public:
  TXTSubtitle();
  uint32_t processPES(const PESPacket& packet) override;
  uint32_t clear(const int64_t& stc) override;
  ~TXTSubtitle() override;

  void configure(int page);
  int stop();

  // Set by decoder control before configure; both not owned.
  Config* config = nullptr;
  FrameBuffer* frameBuffer = nullptr;
  int videoFormat = 4;
};
