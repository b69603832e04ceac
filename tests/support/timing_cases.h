#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/teletext_encoder.h"

// Short recordings whose subtitles come at awkward moments for a replay's
// timing, each the way an independent encoder sends one service: PAT and PMT
// every 500 ms, PCR every 40 ms, teletext page 888 on PID 0x300, every page
// sent half a second before its PTS and ended by the next page's header.
struct TimingPage {
  double at;                       // PTS, in seconds from the first packet
  std::vector<std::string> lines;  // none: the page clears the subtitle
};

struct TimingCase {
  const char* name;
  double seconds;  // the recording's length
  std::vector<TimingPage> pages;
};

inline std::vector<TimingCase> TimingCases() {
  return {
      {"two-pages", 8, {{1.0, {"First page"}}, {4.0, {"Second page"}}}},
      {"first-second", 4, {{0.55, {"Early one"}}, {0.95, {"Early two"}}, {1.6, {}}}},
      {"shorter-than-a-cycle", 5, {{2.0, {"Brief"}}, {2.2, {}}, {2.35, {"Briefer"}}, {2.5, {}}}},
      {"back-to-back",
       7,
       {{3.0, {"One"}}, {3.5, {"Two", "lines"}}, {4.0, {"Three"}}, {4.5, {"Four"}}, {5.0, {}}}},
  };
}

inline std::vector<uint8_t> TimingRecording(const TimingCase& c) {
  constexpr int kPage = 0x888;
  tsgen::RecordingBuilder b;
  b.EnablePCR(0x1FF);
  b.SetTablePeriod(45000);
  b.SetPCRPeriod(3600);
  b.SetStartTime(0);
  b.SetEndTime(static_cast<int64_t>(c.seconds * 90000));
  b.AddTable(0, tsgen::BuildPAT(1, {{0x12c, 0x100}}));
  const auto ttx = tsgen::TeletextDescriptor({{"eng", 2, static_cast<uint16_t>(kPage)}});
  b.AddTable(0x100, tsgen::BuildPMT(0x12c, 0x1FF, {}, {{0x06, 0x300, ttx}}));
  for (const TimingPage& page : c.pages) {
    std::vector<tsgen::TeletextUnit> units =
        tsgen::EncodePage(tsgen::SubtitlePage(kPage, page.lines));
    tsgen::TeletextHeader next;
    next.page = (kPage & 0xF00) | 0xFF;
    units.push_back(tsgen::EncodeHeaderUnit(next));
    const int64_t pts = static_cast<int64_t>(page.at * 90000);
    for (auto pes : tsgen::PackTeletextPES(units, pts)) b.AddPES(0x300, pts - 45000, pes);
  }
  return b.Build();
}
