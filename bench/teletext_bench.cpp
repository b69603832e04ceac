#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "config/translator.h"
#include "display/frame_buffer.h"
#include "platform/platform.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "common/pes_packet.h"
#include "teletext/txt_subtitle.h"
#include "tsgen/teletext_encoder.h"

namespace {

// One subtitle packet as broadcast: the page header and two boxed rows,
// filled to 368 bytes with stuffing units.
std::vector<uint8_t> SubtitlePacket() {
  tsgen::TeletextPage page;
  page.header.page = 0x889;
  page.header.erase = true;
  page.rows.push_back({22, tsgen::SubtitleRowText("Un train met dix secondes")});
  page.rows.push_back({23, tsgen::SubtitleRowText("pour d\x23passer un point donn\x23.")});
  return tsgen::PackTeletextPES(tsgen::EncodePage(page), 90000)[0];
}

struct OwnedPacket {
  explicit OwnedPacket(const std::vector<uint8_t>& bytes) {
    pes.size = static_cast<uint32_t>(bytes.size());
    pes.data = new uint8_t[bytes.size()];
    std::memcpy(pes.data, bytes.data(), bytes.size());
  }
  ~OwnedPacket() { delete[] pes.data; }
  PESPacket pes;
};

// Decoding only: every packet completes the previous page, so each iteration
// also extracts the two rows (nothing is drawn without a frame buffer).
void BM_DecodeSubtitlePacket(benchmark::State& state) {
  LogCapture quiet;
  TXTSubtitle txt;
  txt.configure(0x889);
  OwnedPacket packet(SubtitlePacket());
  for (auto _ : state) {
    benchmark::DoNotOptimize(txt.processPES(packet.pes));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * packet.pes.size);
}
BENCHMARK(BM_DecodeSubtitlePacket);

// Decoding plus drawing: each packet erases the page (clearing the band drawn
// before) and completes the previous one, whose two rows are drawn with box,
// outline and text through the back buffer onto a simulated 720 x 576 screen
// with DejaVu Sans. Argument: bits per pixel.
void BM_DecodeAndDrawTwoRows(benchmark::State& state) {
  LogCapture quiet;
  char dir[] = "/tmp/zuva-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  SimFramebuffer::Geometry geometry;
  geometry.bitsPerPixel = static_cast<int>(state.range(0));
  SimFramebuffer device(geometry);
  SimDeviceIO io;
  Platform platform;
  platform.paths = Paths::Under(dir);
  platform.io = &io;
  io.Attach(platform.paths.framebuffer, &device);
  Translator translator;
  Config config;
  {
    FrameBuffer fb(platform);
    fb.SetTranslator(&translator);
    if (fb.Init("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf") != 0) {
      state.SkipWithError("frame buffer did not start");
    } else {
      TXTSubtitle txt;
      txt.config = &config;
      txt.frameBuffer = &fb;
      txt.configure(0x889);
      OwnedPacket packet(SubtitlePacket());
      txt.processPES(packet.pes);  // warm the glyph cache
      for (auto _ : state) {
        txt.processPES(packet.pes);
      }
      fb.Close();
    }
  }
  rmdir(dir);
}
BENCHMARK(BM_DecodeAndDrawTwoRows)->Arg(32)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace
