#include "stream/pmt_loader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/log.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "platform/clock.h"
#include "support/fault_io.h"
#include "support/scripted_sections.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"

namespace {

using tsgen::Bytes;

// "type/page/lang" of every teletext record, front of the list first.
std::string TxtRecords(const PMTLoader& loader) {
  std::string out;
  for (const TXTSubtitleInfo* t : loader.TxtSubtitles()) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s%d/%x/%s/pid%x/sid%x", out.empty() ? "" : " ", t->type,
             t->page, t->language.c_str(), t->pid, t->serviceId);
    out += buf;
  }
  return out;
}

Bytes TeletextPMT(uint16_t program, uint16_t pid, const std::vector<tsgen::TeletextEntry>& pages) {
  return tsgen::BuildPMT(program, 0x1FFF, {}, {{0x06, pid, tsgen::TeletextDescriptor(pages)}});
}

// The daemon's scanner on a simulated demultiplexer, with every device call
// recorded and open to fault injection.
struct ScanRig {
  explicit ScanRig(const Bytes& recording) {
    std::string error;
    if (!recording.empty()) {
      EXPECT_TRUE(demux.LoadBytes(recording, &error)) << error;
    }
    sim.Attach("/sim/demux0", &demux);
    platform.io = &fault;
    platform.clock = &clock;
    platform.paths = Paths::Under("/sim");
  }

  // The device calls in order, ioctls by request name.
  std::string Trace() const {
    std::string out;
    for (const FaultIO::Call& c : fault.Calls()) {
      std::string name = c.op;
      if (c.op == "ioctl") {
        name = c.request == DMX_SET_FILTER ? "FILTER" : c.request == DMX_STOP ? "STOP" : "IOCTL";
      }
      out += (out.empty() ? "" : " ") + name;
    }
    return out;
  }

  VirtualClock clock;
  SimDemux demux{&clock};
  SimDeviceIO sim;
  FaultIO fault{&sim};
  Platform platform;
};

// The scanner on a demultiplexer that replies with scripted reads.
struct ScriptedRig {
  explicit ScriptedRig(const std::vector<Bytes>& replies) {
    for (const Bytes& r : replies) scripted.Add(r);
    sim.Attach("/sim/demux0", &scripted);
    platform.io = &fault;
    platform.paths = Paths::Under("/sim");
  }
  ScriptedSectionDemux scripted;
  SimDeviceIO sim;
  FaultIO fault{&sim};
  Platform platform;
};

// A recording of `seconds` with the given tables repeated every 100 ms and a
// PCR, so the scan's filters find them as the replay clock moves on.
Bytes Recording(const std::vector<std::pair<uint16_t, Bytes>>& tables, int seconds = 2) {
  tsgen::RecordingBuilder builder;
  for (const auto& t : tables) builder.AddTable(t.first, t.second);
  builder.EnablePCR(0x1FF0);
  builder.SetStartTime(0);
  builder.SetEndTime(seconds * 90000);
  return builder.Build();
}

TEST(ParseTeletextDescriptor, ReadsOnlyTheBytesAvailable) {
  struct Row {
    size_t available;
    size_t records;
  };
  // Length byte claims three entries (15 bytes).
  const Bytes d = tsgen::Descriptor(0x56, {'e', 'n', 'g', 0x11, 0x50, 'e', 'n', 'g', 0x11, 0x51,
                                           'e', 'n', 'g', 0x11, 0x52});
  for (const Row& row : std::vector<Row>{{0, 0}, {1, 0}, {2, 0}, {6, 0}, {7, 1}, {11, 1},
                                         {12, 2}, {16, 2}, {17, 3}, {400, 3}}) {
    SCOPED_TRACE(row.available);
    LogCapture capture;
    PMTLoader loader;
    // Exactly `available` bytes on the heap: a read past them trips the sanitizer.
    std::vector<uint8_t> buffer(d);
    buffer.resize(row.available, 0);
    loader.ParseTeletextDescriptor(buffer.data(), 1, 1, row.available);
    EXPECT_EQ(row.records, loader.TxtSubtitles().size());
  }
}

// Fills a loader through its descriptor parsers in PMT order.
void Announce(PMTLoader& loader, const std::vector<tsgen::TeletextEntry>& pages,
              const std::vector<tsgen::SubtitlingEntry>& dvb) {
  for (const auto& p : pages) {
    const Bytes d = tsgen::TeletextDescriptor({p});
    loader.ParseTeletextDescriptor(d.data(), 0x100 + p.page % 16, 1);
  }
  for (const auto& s : dvb) {
    const Bytes d = tsgen::SubtitlingDescriptor({s});
    loader.ParseSubtitlingDescriptor(d.data(), 0x200 + s.compositionPageId, 1);
  }
}

// Reads that return short, truncated or lying sections, as a faulty driver
// might; the scan must stay within what was read and the section's length.
TEST(GetAllPIDs, DamagedSectionsCountAsNothing) {
  const Bytes pat = tsgen::BuildPAT(1, {{0x10, 0x100}});
  const Bytes pmt = TeletextPMT(0x10, 0x300, {{"deu", 2, 0x150}});
  auto withLength = [](Bytes s, int length) {
    s[1] = static_cast<uint8_t>((s[1] & 0xF0) | ((length >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(length);
    return s;
  };
  auto cut = [](const Bytes& s, size_t n) { return Bytes(s.begin(), s.begin() + n); };

  // Second entry claims 200 bytes of ES info, more than the section holds.
  Bytes lyingEntry = tsgen::BuildPMT(
      0x10, 0x1FFF, {},
      {{0x06, 0x300, tsgen::TeletextDescriptor({{"deu", 2, 0x150}})},
       {0x06, 0x301, tsgen::TeletextDescriptor({{"eng", 2, 0x777}})}});
  const size_t secondEntry = 12 + 5 + 7;
  lyingEntry[secondEntry + 3] = 0xF0;
  lyingEntry[secondEntry + 4] = 200;
  tsgen::FixCRC(lyingEntry);
  // The second descriptor of an entry claims 40 bytes, past the entry's end.
  Bytes descs = tsgen::TeletextDescriptor({{"deu", 2, 0x150}});
  const Bytes second = tsgen::TeletextDescriptor({{"eng", 2, 0x777}});
  descs.insert(descs.end(), second.begin(), second.end());
  Bytes lyingDescriptor = tsgen::BuildPMT(0x10, 0x1FFF, {}, {{0x06, 0x300, descs}});
  lyingDescriptor[12 + 5 + 7 + 1] = 40;
  tsgen::FixCRC(lyingDescriptor);
  // program_info_length reaching past the section.
  Bytes lyingInfo = pmt;
  lyingInfo[10] = 0xF0;
  lyingInfo[11] = 0xF0;
  tsgen::FixCRC(lyingInfo);

  struct Row {
    const char* name;
    Bytes patReply;
    Bytes pmtReply;
    int result;
    std::string logged;
    std::string txt;
  };
  const std::vector<Row> rows = {
      {"empty PAT", {}, {}, 0, "Damaged PAT section", ""},
      {"PAT of 5 bytes", cut(pat, 5), {}, 0, "Damaged PAT section", ""},
      {"PAT shorter than it claims", withLength(pat, 200), {}, 0, "Damaged PAT section", ""},
      {"PAT length below its header", withLength(pat, 4), {}, 0, "Damaged PAT section", ""},
      {"PMT cut short", pat, cut(pmt, pmt.size() - 1), 0, "Damaged PMT section", ""},
      {"PMT of 2 bytes", pat, cut(pmt, 2), 0, "Damaged PMT section", ""},
      {"PMT length of 4095", pat, withLength(pmt, 4095), 0, "Damaged PMT section", ""},
      {"ES entry overruns", pat, lyingEntry, 1, "overruns the section", "2/150/ger/pid300/sid10"},
      {"descriptor overruns", pat, lyingDescriptor, 1, "overruns its stream entry",
       "2/150/ger/pid300/sid10"},
      {"program info overruns", pat, lyingInfo, 0, "program info overruns", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedRig rig({row.patReply, row.pmtReply});
    LogCapture capture;
    PMTLoader loader(rig.platform);
    EXPECT_EQ(row.result, loader.GetAllPIDs(0x10, 0x100));
    EXPECT_NE(std::string::npos, capture.Text().find(row.logged)) << capture.Text();
    EXPECT_EQ(row.txt, TxtRecords(loader));
    EXPECT_EQ(1, rig.fault.Count("close"));
    EXPECT_EQ(0, rig.sim.OpenHandles());
  }
}

// The four CRC bytes at the end of a PAT are never taken for a program
// entry, also when the section length leaves a partial entry before them.
TEST(GetAllPIDs, PATCRCIsNeverAnEntry) {
  const Bytes aligned = tsgen::BuildPAT(1, {{0x10, 0x100}});
  Bytes body = {0x00, 0x10, 0xE1, 0x00, 0x0A, 0xBC};  // one entry and two stray bytes
  const Bytes misaligned = tsgen::BuildSection(0x00, 1, 0, body);
  struct Row {
    const char* name;
    Bytes pat;
    int serviceId;  // what the bytes at the end would say as a program number
  };
  const std::vector<Row> rows = {
      {"aligned", aligned, (aligned[12] << 8) | aligned[13]},
      {"stray bytes before the CRC", misaligned, 0x0ABC},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedRig rig({row.pat});
    LogCapture capture;
    PMTLoader loader(rig.platform);
    EXPECT_EQ(0, loader.GetAllPIDs(row.serviceId, 0x1FFE));
    EXPECT_EQ(1, rig.fault.Count("ioctl", DMX_SET_FILTER)) << capture.Text();
    EXPECT_EQ(1, rig.fault.Count("read"));
  }
}

TEST(GetAllPIDs, FailuresCloseAndStopExactlyWhereExpected) {
  const Bytes pat = tsgen::BuildPAT(1, {{0x10, 0x100}});
  const Bytes pmt = TeletextPMT(0x10, 0x300, {{"deu", 2, 0x150}});
  const Bytes good = Recording({{0, pat}, {0x100, pmt}});
  const Bytes noPat = Recording({{0x100, pmt}}, 7);
  const Bytes noPmt = Recording({{0, pat}}, 7);
  struct Row {
    const char* name;
    const Bytes* recording;
    std::string op;
    int nth;
    int pmtPid;
    int result;
    std::string logged;
    std::string trace;
  };
  const std::vector<Row> rows = {
      {"no PMT PID (-1)", &good, "", 0, -1, -1, "", ""},
      {"no PMT PID (0)", &good, "", 0, 0, -1, "", ""},
      {"open fails", &good, "open", 1, 0x100, 0, "Error open(DMX)\n", "open"},
      {"PAT filter fails", &good, "filter", 1, 0x100, 0, "Error ioctl(DMX_SET_FILTER PAT)\n",
       "open FILTER STOP close"},
      {"PAT read fails", &good, "read", 1, 0x100, -1, "Error read(PAT)\n",
       "open FILTER read STOP close"},
      {"PAT times out", &noPat, "", 0, 0x100, -1, "Error read(PAT)\n",
       "open FILTER read STOP close"},
      {"PMT filter fails", &good, "filter", 2, 0x100, 0, "Error ioctl(DMX_SET_FILTER PMT)\n",
       "open FILTER read FILTER STOP close"},
      {"PMT read fails", &good, "read", 2, 0x100, 0, "Error read(PMT)\n",
       "open FILTER read FILTER read STOP STOP close"},
      {"PMT times out", &noPmt, "", 0, 0x100, 0, "Error read(PMT)\n",
       "open FILTER read FILTER read STOP STOP close"},
      {"success", &good, "", 0, 0x100, 1, "           Page: 150\n",
       "open FILTER read FILTER read STOP close"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScanRig rig(*row.recording);
    LogCapture capture;
    PMTLoader loader(rig.platform);
    // A previous scan's records must be gone whatever happens next.
    Announce(loader, {{"deu", 2, 0x150}}, {{"deu", 1, 1, 1}});
    capture.Clear();
    if (row.op == "filter") rig.fault.FailOn("ioctl", DMX_SET_FILTER, row.nth);
    if (!row.op.empty() && row.op != "filter") rig.fault.FailOn(row.op, 0, row.nth);
    EXPECT_EQ(row.result, loader.GetAllPIDs(0x10, row.pmtPid));
    EXPECT_EQ(row.trace, rig.Trace());
    const std::string log = capture.Text();
    if (row.logged.empty()) {
      EXPECT_EQ("", log);
    } else {
      EXPECT_NE(std::string::npos, log.find("ZUVA: " + row.logged)) << log;
    }
    if (row.result <= 0) {
      EXPECT_TRUE(loader.TxtSubtitles().empty());
      EXPECT_TRUE(loader.DvbSubtitles().empty());
    }
    EXPECT_EQ(0, rig.sim.OpenHandles());
  }
}

}  // namespace
