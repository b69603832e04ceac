#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/teletext_encoder.h"

// Short recordings whose subtitles come at awkward moments for a replay's
// timing, each the way an independent encoder sends one service: PAT and PMT
// every 500 ms, PCR every 40 ms from 0, a teletext page (888 unless told) on
// PID 0x300, every page sent half a second before its PTS and ended by the
// next page's header.
struct TimingPage {
  double at;                       // PTS, in seconds from the first packet
  std::vector<std::string> lines;  // none: the page clears the subtitle
};

struct TimingCase {
  const char* name;
  double seconds;  // the recording's length
  std::vector<TimingPage> pages;
  std::string language = "eng";
  int page = 0x888;
  bool withoutPts = false;  // the PES headers say there is no PTS
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
  tsgen::RecordingBuilder b;
  b.EnablePCR(0x1FF);
  b.SetTablePeriod(45000);
  b.SetPCRPeriod(3600);
  b.SetStartTime(0);
  b.SetEndTime(static_cast<int64_t>(c.seconds * 90000));
  b.AddTable(0, tsgen::BuildPAT(1, {{0x12c, 0x100}}));
  const auto ttx = tsgen::TeletextDescriptor({{c.language, 2, static_cast<uint16_t>(c.page)}});
  b.AddTable(0x100, tsgen::BuildPMT(0x12c, 0x1FF, {}, {{0x06, 0x300, ttx}}));
  for (const TimingPage& page : c.pages) {
    std::vector<tsgen::TeletextUnit> units =
        tsgen::EncodePage(tsgen::SubtitlePage(c.page, page.lines));
    tsgen::TeletextHeader next;
    next.page = (c.page & 0xF00) | 0xFF;
    units.push_back(tsgen::EncodeHeaderUnit(next));
    const int64_t pts = static_cast<int64_t>(page.at * 90000);
    for (auto pes : tsgen::PackTeletextPES(units, pts)) {
      if (c.withoutPts) pes[7] = 0x00;  // flags: no PTS; the header bytes stay as stuffing
      b.AddPES(0x300, pts - 45000, pes);
    }
  }
  return b.Build();
}

// Writes `bytes` to the named file of `dir`; returns its path.
inline std::string WriteRecording(const TempDir& dir, const std::string& name,
                                  const std::vector<uint8_t>& bytes) {
  dir.Write(name, std::string(bytes.begin(), bytes.end()));
  return dir.File(name);
}
