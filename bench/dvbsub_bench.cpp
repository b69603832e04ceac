// Decoding and drawing one typical DVB subtitle display set: a page with two
// regions of 600 x 50 pixels, 4-bit code strings of text-like runs, one CLUT.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "common/log.h"
#include "display/frame_buffer.h"
#include "dvbsub/dvb_subtitle.h"
#include "platform/platform.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "tsgen/dvbsub_encoder.h"

namespace ds = tsgen::dvbsub;

namespace {

// The real FrameBuffer on the simulated framebuffer (720 x 576, 32 bits per
// pixel, a stride of 768 pixels): the drawing costs what it costs on a
// mapped screen.
struct Screen {
  Screen() {
    platform.paths = Paths::Under("/nonexistent-zuva-bench");
    io.Attach(platform.paths.framebuffer, &device);
    platform.io = &io;
    fb = std::make_unique<FrameBuffer>(platform);
    if (fb->Init("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf") != 0) ok = false;
  }
  ~Screen() { fb->Close(); }
  SimFramebuffer device;
  SimDeviceIO io;
  Platform platform;
  std::unique_ptr<FrameBuffer> fb;
  bool ok = true;
};

std::vector<uint8_t> TextLikeCodes(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> codes(static_cast<size_t>(width) * height, 0);
  for (int y = 8; y < height - 8; ++y) {
    int x = 20 + static_cast<int>(random() % 10);
    while (x < width - 40) {
      // A stroke: outline, body, outline; then a gap.
      const int body = 2 + static_cast<int>(random() % 6);
      codes[static_cast<size_t>(y) * width + x] = 2;
      for (int i = 1; i <= body; ++i) codes[static_cast<size_t>(y) * width + x + i] = 1;
      codes[static_cast<size_t>(y) * width + x + body + 1] = 2;
      x += body + 2 + static_cast<int>(random() % 12);
    }
  }
  return codes;
}

std::vector<uint8_t> TypicalDisplaySet(int version) {
  ds::DisplaySet set(1);
  set.Page({10, version, ds::kAcquisitionPoint, {{1, 60, 440}, {2, 60, 500}}});
  ds::ClutDefinition clut{0, version, {}};
  const uint8_t ys[4] = {0, 235, 16, 128};
  for (int k = 0; k < 4; ++k) {
    ds::ClutEntry e;
    e.id = k;
    e.y = ys[k];
    clut.entries.push_back(e);
  }
  set.Clut(clut);
  for (int id = 1; id <= 2; ++id) {
    ds::RegionComposition rc;
    rc.regionId = id;
    rc.version = version;
    rc.width = 600;
    rc.height = 50;
    rc.objects = {{id, 0, 0, 0, 0}};
    set.Region(rc);
    set.Object(ds::ObjectFromBitmap(id, TextLikeCodes(600, 50, static_cast<unsigned>(id)), 600,
                                    50, 4, version));
  }
  set.End();
  return set.Packet(90000);
}

// The decoder logs a few lines per packet; keep them off the terminal.
void Discard(const char*, void*) {}

void BM_DecodeDisplaySet(benchmark::State& state) {
  LogCapture capture;
  capture.SetSink(Discard, nullptr);
  DVBSubtitle dvb;
  dvb.configure();
  std::vector<uint8_t> packets[2] = {TypicalDisplaySet(0), TypicalDisplaySet(1)};
  int i = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& p = packets[i++ & 1];  // a new version every time
    benchmark::DoNotOptimize(dvb.processPES(PESPacket{0, p.data(), static_cast<uint32_t>(p.size())}));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(packets[0].size()));
  state.counters["packet_bytes"] = static_cast<double>(packets[0].size());
}
BENCHMARK(BM_DecodeDisplaySet);

void BM_DecodeAndDrawDisplaySet(benchmark::State& state) {
  LogCapture capture;
  capture.SetSink(Discard, nullptr);
  Screen screen;
  if (!screen.ok) {
    state.SkipWithError("the simulated screen did not start");
    return;
  }
  DVBSubtitle dvb;
  dvb.frameBuffer = screen.fb.get();
  dvb.configure();
  std::vector<uint8_t> packets[2] = {TypicalDisplaySet(0), TypicalDisplaySet(1)};
  int i = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& p = packets[i++ & 1];
    benchmark::DoNotOptimize(dvb.processPES(PESPacket{0, p.data(), static_cast<uint32_t>(p.size())}));
    dvb.clear(0);
  }
  dvb.stop();
}
BENCHMARK(BM_DecodeAndDrawDisplaySet);

void BM_EncodeDisplaySet(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(TypicalDisplaySet(0));
}
BENCHMARK(BM_EncodeDisplaySet);

}  // namespace
