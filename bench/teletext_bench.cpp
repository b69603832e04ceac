#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "common/log.h"
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

}  // namespace
