#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/pmt_loader.h"

class TSRecording;

namespace replay {

// The teletext pages whose headers carry the subtitle flag on one PID.
struct PagesOnAir {
  int pid = 0;
  std::vector<int> pages;  // ascending, as 0x888 for page 888
};

// Reads every teletext header the recording carries on `pid` and lists the
// pages flagged as subtitles: what is really sent, whatever the PMT says.
std::vector<int> SubtitlePagesOnAir(const TSRecording& recording, int pid);

// What the daemon's PAT/PMT scan finds for one program of a recording.
struct ProgramScan {
  int number = 0;
  int pmtPid = 0;
  int result = 0;                         // what GetAllPIDs returned
  std::vector<TXTSubtitleInfo> teletext;  // in the order the PMT announces them
  std::vector<DVBSubtitleInfo> dvb;
  std::vector<PagesOnAir> onAir;  // per teletext PID of `teletext`, in its order
  std::string log;  // the scan's log lines
};

// Runs the daemon's scan for every program of the recording's PAT on the
// simulated demultiplexer, each from the recording's start. False with a
// reason in `error` when the recording or its PAT cannot be read. A recording
// without a clock is placed at `bitRate` bits per second (0: the default);
// `clockNote` gets the replay's line about a missing or damaged clock, if any.
bool ScanPrograms(const std::string& recording, std::vector<ProgramScan>& programs,
                  std::string& error, int64_t bitRate = 0, std::string* clockNote = nullptr);

// The scans as one JSON document: {"programs": [...]}, each program with its
// number, PMT PID, teletext pages and DVB subtitle streams.
std::string ScanToJson(const std::vector<ProgramScan>& programs);

}  // namespace replay
