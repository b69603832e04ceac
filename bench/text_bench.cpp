// One teletext subtitle row drawn the way the row drawing does it: measure,
// then under the lock a band in a back buffer with its box, eight outline
// copies and the text, copied onto the simulated screen.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "common/log.h"
#include "config/translator.h"
#include "display/frame_buffer.h"
#include "platform/platform.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"

namespace {

constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

void DrawRow(benchmark::State& state) {
  SimFramebuffer::Geometry geometry;
  geometry.bitsPerPixel = static_cast<int>(state.range(0));
  SimFramebuffer device(geometry);
  SimDeviceIO io;
  Platform platform;
  platform.io = &io;
  platform.paths = Paths::Under("/nonexistent-zuva-bench");
  io.Attach(platform.paths.framebuffer, &device);
  Translator translator;
  translator.LoadTranslation("fre", std::string(ZUVA_DATA_DIR) + "/zuva.translation");
  FrameBuffer fb(platform);
  fb.SetTranslator(&translator);
  {
    LogCapture quiet;  // the start-up lines would clutter the report
    if (fb.Init(kFont) != 0) {
      state.SkipWithError("framebuffer did not start");
      return;
    }
  }

  const int size = 28;
  const std::string text = "Je ne sais pas s'il viendra ce soir, ok?";  // 40 characters
  int unused = 0, lineHeight = 0, descent = 0;
  fb.GetTextSize(size, "[]|{}\\yYjJ", unused, lineHeight, descent);
  descent += 3;
  const int top = 530 - lineHeight;
  const uint32_t text_colour = 0xFFFFFFFF, outline = 0x000000FF, box = 0x00000044;
  const int o = 2;
  const int offsets[8][2] = {{-o, -o}, {-o, o}, {o, -o}, {o, o}, {o, 0}, {-o, 0}, {0, o}, {0, -o}};

  for (auto _ : state) {
    int tw = 0, th = 0, td = 0;
    fb.GetTextSize(size, text, tw, th, td);
    const int x = (720 - tw) / 2 + 1;
    fb.Lock();
    fb.AllocBackBuffer(lineHeight + descent, 0);
    fb.UseBackBuffer(true);
    fb.FillRect(x - descent / 2, 0, tw + descent, lineHeight + descent, box);
    for (const auto& d : offsets) fb.RenderText(text, x + d[0], lineHeight + d[1], 720, 0, size, outline);
    fb.RenderText(text, x, lineHeight, 720, 0, size, text_colour);
    fb.CopyBackBuffer(top);
    fb.UseBackBuffer(false);
    fb.FreeBackBuffer();
    fb.Unlock();
    benchmark::DoNotOptimize(device.Memory());
  }
  fb.Close();
  state.counters["glyphs"] = static_cast<double>(text.size());
  // Per glyph of the row (each drawn nine times and measured once).
  state.counters["per_glyph"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(text.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(DrawRow)->Arg(32)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace
