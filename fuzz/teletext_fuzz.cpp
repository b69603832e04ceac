// Teletext PES packets through decoding and drawing: TXTSubtitle on a real
// FrameBuffer over the simulated screen with the real font, with layout
// settings chosen by the fuzzer as a settings file could give them.
//
// Input: wanted page (2 bytes, big-endian; any value, as the channels file
// can name any), a flags byte (bit 0: 8 bits per pixel instead of 32; bit 1:
// 16:9 picture), a length n and n bytes of "Key value" settings lines, then a
// stream of PES packets cut at their length fields, each handed over in its
// own exactly sized buffer.

#include <memory>
#include <string>

#include "config/config.h"
#include "fuzz_support.h"
#include "teletext/txt_subtitle.h"

namespace {
void ApplySettings(Config& config, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t blank = line.find(' ');
    if (blank != std::string::npos) config.set(line.substr(0, blank), line.substr(blank + 1));
    start = end + 1;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  if (size < 4) return 0;
  static fuzz::Screen screen32(32);
  static fuzz::Screen screen8(8);
  const int page = (data[0] << 8) | data[1];
  const uint8_t flags = data[2];
  size_t n = data[3];
  if (n > size - 4) n = size - 4;
  fuzz::Screen& screen = (flags & 1) ? screen8 : screen32;
  screen.Blank();

  Config config;
  ApplySettings(config, std::string(reinterpret_cast<const char*>(data + 4), n));
  TXTSubtitle txt;
  txt.config = &config;
  txt.frameBuffer = screen.fb.get();
  txt.videoFormat = (flags & 2) ? 16 : 4;
  txt.configure(page);

  fuzz::ForEachPES(data + 4 + n, size - 4 - n, [&](const uint8_t* bytes, size_t len) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[len]);
    std::memcpy(copy.get(), bytes, len);
    PESPacket packet;
    packet.data = copy.get();
    packet.size = static_cast<uint32_t>(len);
    FUZZ_CHECK(txt.processPES(packet) == 0);
  });
  txt.stop();
  screen.CheckPadding();
  return 0;
}
