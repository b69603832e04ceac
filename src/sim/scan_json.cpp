#include "sim/scan_json.h"

#include <cstdio>

#include "common/log.h"
#include "platform/clock.h"
#include "sim/replay.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"

namespace replay {

bool ScanPrograms(const std::string& recording, std::vector<ProgramScan>& programs,
                  std::string& error, int64_t bitRate, std::string* clockNote) {
  VirtualClock clock;  // the scan's waits cost no real time
  SimDemuxOptions demuxOptions;
  if (bitRate > 0) demuxOptions.nominalBitRate = bitRate;
  SimDemux demux(&clock, demuxOptions);
  SimDeviceIO io;
  Platform platform;
  platform.io = &io;
  platform.clock = &clock;
  if (!demux.Load(recording, &error)) return false;
  io.Attach(platform.paths.demux, &demux);
  if (clockNote != nullptr) *clockNote = ClockNote(demux.Recording());
  std::vector<Program> found;
  if (!FindPrograms(demux.Recording(), found)) {
    error = "no intact PAT in it";
    return false;
  }
  LogCapture capture;
  PMTLoader loader(platform);
  for (const Program& program : found) {
    capture.Clear();
    demux.Rewind();
    ProgramScan scan;
    scan.number = program.number;
    scan.pmtPid = program.pmtPid;
    scan.result = loader.GetAllPIDs(program.number, program.pmtPid);
    scan.log = capture.Text();
    // The loader keeps the newest first; the PMT's order reads better.
    for (const TXTSubtitleInfo* info : loader.TxtSubtitles())
      scan.teletext.insert(scan.teletext.begin(), *info);
    for (const DVBSubtitleInfo* info : loader.DvbSubtitles())
      scan.dvb.insert(scan.dvb.begin(), *info);
    programs.push_back(scan);
  }
  return true;
}

namespace {
// Language codes come from the stream and may hold any byte: everything
// outside printable ASCII is escaped, read as Latin-1.
std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
}  // namespace

std::string ScanToJson(const std::vector<ProgramScan>& programs) {
  std::string out = "{\"programs\": [";
  char text[256];
  for (size_t p = 0; p < programs.size(); ++p) {
    const ProgramScan& scan = programs[p];
    snprintf(text, sizeof text, "%s\n  {\"number\": %d, \"pmt_pid\": %d, \"scan_result\": %d,",
             p ? "," : "", scan.number, scan.pmtPid, scan.result);
    out += text;
    out += "\n   \"teletext\": [";
    for (size_t i = 0; i < scan.teletext.size(); ++i) {
      const TXTSubtitleInfo& t = scan.teletext[i];
      snprintf(text, sizeof text,
               "%s\n    {\"pid\": %d, \"page\": \"%x\", \"type\": %d, \"language\": ", i ? "," : "",
               t.pid, t.page, t.type);
      out += text + Quoted(t.language) + "}";
    }
    out += scan.teletext.empty() ? "]," : "\n   ],";
    out += "\n   \"dvb\": [";
    for (size_t i = 0; i < scan.dvb.size(); ++i) {
      const DVBSubtitleInfo& d = scan.dvb[i];
      snprintf(text, sizeof text,
               "%s\n    {\"pid\": %d, \"type\": %d, \"composition_page_id\": %d, "
               "\"ancillary_page_id\": %d, \"language\": ",
               i ? "," : "", d.pid, d.type, d.compositionPageId, d.ancillaryPageId);
      out += text + Quoted(d.language) + "}";
    }
    out += scan.dvb.empty() ? "]}" : "\n   ]}";
  }
  out += programs.empty() ? "]}\n" : "\n]}\n";
  return out;
}

}  // namespace replay
