// DVB subtitle PES packets through decoding and drawing: DVBSubtitle on a
// real FrameBuffer over the simulated screen with the real font.
//
// Input: one flags byte (bit 0: 8 bits per pixel instead of 32; bits 1-7:
// DVBMaxShowTime in seconds), then a stream of PES packets cut at their
// length fields. Every packet is handed over in its own exactly sized buffer,
// as the PES filter does.

#include <memory>
#include <string>

#include "config/config.h"
#include "dvbsub/dvb_subtitle.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  if (size < 1) return 0;
  static fuzz::Screen screen32(32);
  static fuzz::Screen screen8(8);
  fuzz::Screen& screen = (data[0] & 1) ? screen8 : screen32;
  screen.Blank();

  Config config;
  config.set("DVBMaxShowTime", std::to_string(data[0] >> 1));
  DVBSubtitle dvb;
  dvb.config = &config;
  dvb.frameBuffer = screen.fb.get();
  dvb.configure();

  int index = 0;
  fuzz::ForEachPES(data + 1, size - 1, [&](const uint8_t* bytes, size_t n) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
    std::memcpy(copy.get(), bytes, n);
    PESPacket packet;
    packet.data = copy.get();
    packet.size = static_cast<uint32_t>(n);
    const uint32_t ms = dvb.processPES(packet);
    // The longest display is a page time-out of 255 seconds.
    FUZZ_CHECK(ms <= 255000u);
    if (ms != 0 && (index & 1) != 0) dvb.clear(0);
    ++index;
  });
  dvb.clear(0);
  dvb.stop();
  screen.CheckPadding();
  return 0;
}
