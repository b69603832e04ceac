#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The demonstration recording: two services in one transport stream.
//
// - Service 100 (PMT PID 0x100): teletext on PID 0x200 announcing two
//   subtitle pages, Swedish on page 888 and English on page 889, with a
//   subtitle every three seconds on both pages, shown for two and a half.
// - Service 200 (PMT PID 0x110): DVB subtitles in English on PID 0x210, a
//   display set every four seconds with a three-second time-out.
//
// Both services run for the whole recording, as they would in one multiplex;
// a replay switches between them by rewriting the status file.
namespace tsgen {

struct DemoTimes {
  // Relative to the start of the recording, in milliseconds.
  std::vector<int64_t> teletextOn, teletextOff, dvbOn;
  int dvbTimeOutSeconds = 0;
};

std::vector<uint8_t> BuildDemoRecording(int seconds = 30, DemoTimes* times = nullptr);

// The lines of the n-th teletext subtitle on page 0x888 or 0x889 as a viewer
// reads them (UTF-8), and as the page carries them (teletext national codes).
std::vector<std::string> DemoSubtitleText(int page, int n);
std::vector<std::string> DemoSubtitleCodes(int page, int n);

}  // namespace tsgen
