#include "sim/scan_json.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "common/log.h"
#include "platform/clock.h"
#include "sim/replay.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "sim/ts_recording.h"
#include "teletext/txt_subtitle.h"

namespace replay {

namespace {
constexpr size_t kUnitSize = 46;  // a teletext data unit with its id and length

// Adds the page of every flagged header among the data units of one PES packet.
void CollectFlaggedPages(const std::vector<uint8_t>& pes, std::set<int>& pages) {
  if (pes.size() < 9 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return;
  // The data units follow the header and the data identifier byte.
  for (size_t at = 9u + pes[8] + 1; at + kUnitSize <= pes.size(); at += kUnitSize) {
    const uint8_t* unit = &pes[at];
    if ((unit[0] != 0x02 && unit[0] != 0x03) || unit[1] != 0x2C) continue;
    uint8_t b[8];
    for (int n = 0; n < 8; ++n) b[n] = TXTSubtitle::Hamming84(TXTSubtitle::ReverseBits(unit[4 + n]));
    if (std::any_of(b, b + 8, [](uint8_t v) { return v == 0xFF; })) continue;
    const int row = b[1] * 2 + ((b[0] >> 3) & 1);
    // A header whose page is FF only marks time; C6, the subtitle flag,
    // travels with the fourth subcode digit.
    if (row != 0 || (b[2] == 0xF && b[3] == 0xF) || (b[7] & 0x08) == 0) continue;
    const int magazine = (b[0] & 7) == 0 ? 8 : b[0] & 7;
    pages.insert(magazine * 256 + b[3] * 16 + b[2]);
  }
}
}  // namespace

std::vector<int> SubtitlePagesOnAir(const TSRecording& recording, int pid) {
  std::set<int> pages;
  std::vector<uint8_t> pes;
  recording.Visit(0, [&](size_t, const uint8_t* packet) {
    size_t offset = 0, size = 0;
    if (PacketPid(packet) != pid || !PacketPayload(packet, &offset, &size)) return true;
    if (packet[1] & 0x40) {
      CollectFlaggedPages(pes, pages);
      pes.clear();
    }
    // A packet's size bounds its PES; more is garbage and never read.
    if (pes.size() < 65542) pes.insert(pes.end(), packet + offset, packet + offset + size);
    return true;
  });
  CollectFlaggedPages(pes, pages);
  return std::vector<int>(pages.begin(), pages.end());
}

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
    for (const TXTSubtitleInfo& info : scan.teletext) {
      const bool seen = std::any_of(scan.onAir.begin(), scan.onAir.end(),
                                    [&](const PagesOnAir& p) { return p.pid == info.pid; });
      if (!seen) scan.onAir.push_back({info.pid, SubtitlePagesOnAir(demux.Recording(), info.pid)});
    }
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
    out += scan.dvb.empty() ? "]," : "\n   ],";
    out += "\n   \"teletext_on_air\": [";
    for (size_t i = 0; i < scan.onAir.size(); ++i) {
      snprintf(text, sizeof text, "%s\n    {\"pid\": %d, \"subtitle_pages\": [", i ? "," : "",
               scan.onAir[i].pid);
      out += text;
      for (size_t k = 0; k < scan.onAir[i].pages.size(); ++k) {
        snprintf(text, sizeof text, "%s\"%x\"", k ? ", " : "", scan.onAir[i].pages[k]);
        out += text;
      }
      out += "]}";
    }
    out += scan.onAir.empty() ? "]}" : "\n   ]}";
  }
  out += programs.empty() ? "]}\n" : "\n]}\n";
  return out;
}

}  // namespace replay
