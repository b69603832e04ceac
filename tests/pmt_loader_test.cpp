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

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "ZUVA: " + l;
  return out;
}

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

std::string DvbRecords(const PMTLoader& loader) {
  std::string out;
  for (const DVBSubtitleInfo* d : loader.DvbSubtitles()) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s%d/%s/c%x/a%x", out.empty() ? "" : " ", d->type,
             d->language.c_str(), d->compositionPageId, d->ancillaryPageId);
    out += buf;
  }
  return out;
}

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

TEST(ParseTeletextDescriptor, EntriesBecomeRecords) {
  struct Row {
    const char* name;
    Bytes body;  // descriptor body after tag and length
    std::string records;
    std::vector<std::string> warnings;
  };
  const std::vector<Row> rows = {
      {"initial and additional pages only", {'e', 'n', 'g', 0x08, 0x00, 'e', 'n', 'g', 0x18, 0x10},
       "", {}},
      {"magazine 0 is magazine 8", {'e', 'n', 'g', 0x10, 0x50}, "2/850/eng", {}},
      {"magazine 1 page 00", {'e', 'n', 'g', 0x11, 0x00}, "2/100/eng", {}},
      {"page 800", {'e', 'n', 'g', 0x10, 0x00}, "2/800/eng", {}},
      {"858 becomes 888", {'d', 'e', 'u', 0x10, 0x58}, "2/888/ger",
       {"   WARNING! Changed page from 858 to 888...\n"}},
      {"859 becomes 889", {'d', 'e', 'u', 0x28, 0x59}, "5/889/ger",
       {"   WARNING! Changed page from 859 to 889...\n"}},
      {"857 stays", {'d', 'e', 'u', 0x10, 0x57}, "2/857/ger", {}},
      {"888 stays without warning", {'f', 'r', 'a', 0x28, 0x88}, "5/888/fre", {}},
      {"upper-case code", {'D', 'E', 'U', 0x17, 0x77}, "2/777/ger", {}},
      {"GER kept", {'G', 'E', 'R', 0x17, 0x77}, "2/777/ger", {}},
      {"ENG lower-cased", {'E', 'N', 'G', 0x17, 0x77}, "2/777/eng", {}},
      {"esp is spa", {'e', 's', 'p', 0x17, 0x77}, "2/777/spa", {}},
      {"two entries newest first, trailing bytes ignored",
       {'e', 'n', 'g', 0x11, 0x50, 'f', 'r', 'a', 0x2F, 0x77, 0xAA, 0xBB}, "5/777/fre 2/150/eng",
       {}},
      {"mixed types keep only 2 and 5",
       {'e', 'n', 'g', 0x09, 0x00, 'e', 'n', 'g', 0x11, 0x50, 'e', 'n', 'g', 0x21, 0x99},
       "2/150/eng", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture capture;
    PMTLoader loader;
    capture.Clear();
    const Bytes d = tsgen::Descriptor(0x56, row.body);
    // Exactly sized heap copy: a read past the descriptor trips the sanitizer.
    std::vector<uint8_t> exact(d);
    EXPECT_EQ(0, loader.ParseTeletextDescriptor(exact.data(), 0x42c, 0x0fa6, exact.size()));
    std::string records;
    for (const TXTSubtitleInfo* t : loader.TxtSubtitles()) {
      char buf[32];
      snprintf(buf, sizeof buf, "%s%d/%x/%s", records.empty() ? "" : " ", t->type, t->page,
               t->language.c_str());
      records += buf;
      EXPECT_EQ(0x42c, t->pid);
      EXPECT_EQ(0x0fa6, t->serviceId);
    }
    EXPECT_EQ(row.records, records);
    const std::string log = capture.Text();
    for (const std::string& w : row.warnings) EXPECT_NE(std::string::npos, log.find(w)) << log;
    if (row.warnings.empty()) {
      EXPECT_EQ(std::string::npos, log.find("WARNING")) << log;
    }
    if (row.records.empty()) {
      EXPECT_EQ("", log);
    }
  }
}

TEST(ParseTeletextDescriptor, LogsEachRecordInOrder) {
  LogCapture capture;
  PMTLoader loader;
  capture.Clear();
  const Bytes d = tsgen::Descriptor(0x56, {'d', 'e', 'u', 0x10, 0x58});
  loader.ParseTeletextDescriptor(d.data(), 0x42c, 0x1234);
  EXPECT_EQ(Lines({"   WARNING! Changed page from 858 to 888...\n",
                   "   TXT-Subtitle: ServiceID=0x1234 PID=0x42c\n", "           Lang: ger\n",
                   "           Type: 2\n", "           Page: 888\n"}),
            capture.Text());
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

TEST(ParseSubtitlingDescriptor, EntriesBecomeRecords) {
  struct Row {
    const char* name;
    Bytes body;
    std::string records;
  };
  const Bytes one = {'d', 'e', 'u', 0x10, 0x00, 0x01, 0x00, 0x02};
  const Bytes two = {'E', 'N', 'G', 0x20, 0x12, 0x34, 0xAB, 0xCD};
  Bytes both = one;
  both.insert(both.end(), two.begin(), two.end());
  Bytes twelve = one;
  twelve.insert(twelve.end(), {1, 2, 3, 4});
  const std::vector<Row> rows = {
      {"length 16 gives two, newest first", both, "32/eng/c1234/aabcd 16/ger/c1/a2"},
      {"length 12 gives one", twelve, "16/ger/c1/a2"},
      {"length 7 gives none", Bytes(one.begin(), one.begin() + 7), ""},
      {"type kept unfiltered", {'f', 'r', 'a', 0xFF, 0xFF, 0xFF, 0x00, 0x00},
       "255/fre/cffff/a0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture capture;
    PMTLoader loader;
    const Bytes d = tsgen::Descriptor(0x59, row.body);
    std::vector<uint8_t> exact(d);
    EXPECT_EQ(0, loader.ParseSubtitlingDescriptor(exact.data(), 0x100, 7, exact.size()));
    EXPECT_EQ(row.records, DvbRecords(loader));
  }
}

TEST(ParseSubtitlingDescriptor, LogsEachRecord) {
  LogCapture capture;
  PMTLoader loader;
  capture.Clear();
  const Bytes d = tsgen::SubtitlingDescriptor({{"SRP", 0x14, 0x0002, 0x0003}});
  loader.ParseSubtitlingDescriptor(d.data(), 0x1ff, 0x2b);
  EXPECT_EQ(Lines({"   DVB-Subtitle: ServiceID=0x002b PID=0x1ff\n", "           Lang: scc\n",
                   "           Type: 20\n", "           Comp: 2\n", "           ANCI: 3\n"}),
            capture.Text());
}

TEST(NormalizeLanguage, MapsOnlyTheListedCodes) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"esl", "spa"}, {"esp", "spa"}, {"deu", "ger"}, {"fra", "fre"}, {"ces", "cze"},
      {"ell", "gre"}, {"hrv", "scr"}, {"ron", "rum"}, {"slk", "slo"}, {"srp", "scc"},
      {"ger", "ger"}, {"fre", "fre"}, {"spa", "spa"}, {"eng", "eng"}, {"DEU", "DEU"},
      {"deu ", "deu "}, {"de", "de"},   {"", ""},
  };
  LogCapture capture;
  PMTLoader loader;
  for (const auto& row : rows) {
    std::string out = "junk";
    EXPECT_EQ(0, loader.NormalizeLanguage(row.first, out));
    EXPECT_EQ(row.second, out) << "'" << row.first << "'";
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

TEST(FindSubtitle, LastAnnouncedMatchWins) {
  struct Row {
    const char* name;
    std::string language;
    int type;
    int found;
    int pid;
    int page;
  };
  LogCapture capture;
  PMTLoader loader;
  Announce(loader, {{"deu", 2, 0x150}, {"deu", 2, 0x777}, {"eng", 5, 0x888}}, {});
  const std::vector<Row> rows = {
      {"later of two equal pages", "ger", 2, 1, 0x107, 0x777},
      {"type must match", "ger", 5, 0, -1, -1},
      {"hearing impaired", "eng", 5, 1, 0x108, 0x888},
      {"case-sensitive", "Ger", 2, 0, -1, -1},
      {"unknown language", "fre", 2, 0, -1, -1},
      {"other types never match", "ger", 1, 0, -1, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int pid = -1;
    int page = -1;
    capture.Clear();
    EXPECT_EQ(row.found, loader.FindTXTSubtitle(row.language, row.type, pid, page));
    EXPECT_EQ(row.pid, pid);
    EXPECT_EQ(row.page, page);
    EXPECT_EQ("ZUVA: PMT::Looking for TXT Subtiles...\n", capture.Text());
  }
}

TEST(FindSubtitle, DvbByLanguageOnlyAndEmptyLists) {
  LogCapture capture;
  PMTLoader loader;
  int pid = -1;
  int page = -1;
  EXPECT_EQ(0, loader.FindDVBSubtitle("ger", pid));
  EXPECT_EQ(0, loader.FindTXTSubtitle("ger", 2, pid, page));
  EXPECT_EQ(-1, pid);
  EXPECT_EQ(-1, page);
  Announce(loader, {}, {{"deu", 0x10, 1, 1}, {"ger", 0x20, 2, 2}, {"eng", 0x10, 3, 3}});
  EXPECT_EQ(1, loader.FindDVBSubtitle("ger", pid));
  EXPECT_EQ(0x202, pid);
  pid = -1;
  EXPECT_EQ(0, loader.FindDVBSubtitle("Ger", pid));
  EXPECT_EQ(-1, pid);
  EXPECT_EQ(1, loader.FindDVBSubtitle("eng", pid));
  EXPECT_EQ(0x203, pid);
}

TEST(GetAllPIDs, WalksPATAndPMT) {
  struct Row {
    const char* name;
    std::vector<std::pair<uint16_t, Bytes>> tables;
    int serviceId;
    int pmtPid;
    int result;
    std::string txt;  // records, front first
    std::string dvb;
  };
  const Bytes pmtA = TeletextPMT(0x10, 0x300, {{"deu", 2, 0x150}});
  const Bytes pmtB = TeletextPMT(0x20, 0x301, {{"eng", 2, 0x777}});
  // Two 0x06 entries with a teletext descriptor each.
  const Bytes twoEntries = tsgen::BuildPMT(
      0x10, 0x1FFF, {},
      {{0x06, 0x310, tsgen::TeletextDescriptor({{"deu", 2, 0x150}})},
       {0x06, 0x311, tsgen::TeletextDescriptor({{"deu", 2, 0x777}})}});
  // A stream entry with ES_info_length 300: the walk must find the next entry
  // with the full 12-bit length.
  Bytes filler;
  for (int k = 0; k < 3; ++k) {
    const Bytes d = tsgen::Descriptor(0x52, Bytes(98, 0x56));
    filler.insert(filler.end(), d.begin(), d.end());
  }
  ASSERT_EQ(300u, filler.size());
  const Bytes longInfo = tsgen::BuildPMT(
      0x10, 0x1FFF, {},
      {{0x1b, 0x320, filler},
       {0x06, 0x321, tsgen::TeletextDescriptor({{"fra", 5, 0x888}})}});
  const Bytes otherTypes = tsgen::BuildPMT(
      0x10, 0x1FFF, tsgen::TeletextDescriptor({{"deu", 2, 0x100}}),
      {{0x03, 0x330, tsgen::TeletextDescriptor({{"deu", 2, 0x150}})},
       {0x06, 0x331, tsgen::SubtitlingDescriptor({{"deu", 0x10, 1, 2}, {"eng", 0x20, 3, 4}})},
       {0x06, 0x332, tsgen::TeletextDescriptor({{"deu", 1, 0x100}})}});
  const Bytes bigProgram = TeletextPMT(0x2345, 0x340, {{"deu", 2, 0x150}});

  const std::vector<Row> rows = {
      {"match by PMT PID", {{0, tsgen::BuildPAT(1, {{0x10, 0x100}})}, {0x100, pmtA}}, 0x99, 0x100, 1,
       "2/150/ger/pid300/sid10", ""},
      {"match by program number",
       {{0, tsgen::BuildPAT(1, {{0x10, 0x100}})}, {0x100, pmtA}}, 0x10, 0x555, 1,
       "2/150/ger/pid300/sid10", ""},
      {"no match", {{0, tsgen::BuildPAT(1, {{0x10, 0x100}})}, {0x100, pmtA}}, 0x11, 0x101, 0, "",
       ""},
      {"network entry only", {{0, tsgen::BuildPAT(1, {{0, 0x10}})}}, 0, 0x10, 0, "", ""},
      {"both matches parsed, later entry first",
       {{0, tsgen::BuildPAT(1, {{0, 0x10}, {0x10, 0x100}, {0x20, 0x101}})},
        {0x100, pmtA},
        {0x101, pmtB}},
       0x10, 0x101, 2, "2/777/eng/pid301/sid20 2/150/ger/pid300/sid10", ""},
      {"two teletext entries", {{0, tsgen::BuildPAT(1, {{0x10, 0x100}})}, {0x100, twoEntries}},
       0x10, 0x100, 2, "2/777/ger/pid311/sid10 2/150/ger/pid310/sid10", ""},
      {"ES info of 300 bytes", {{0, tsgen::BuildPAT(1, {{0x10, 0x100}})}, {0x100, longInfo}},
       0x10, 0x100, 1, "5/888/fre/pid321/sid10", ""},
      {"only stream type 0x06 is examined",
       {{0, tsgen::BuildPAT(1, {{0x10, 0x100}})}, {0x100, otherTypes}}, 0x10, 0x100, 2, "",
       "32/eng/c3/a4 16/ger/c1/a2"},
      {"program number above 0x1FFF",
       {{0, tsgen::BuildPAT(1, {{0x2345, 0x100}})}, {0x100, bigProgram}}, 0x2345, 0x7, 1,
       "2/150/ger/pid340/sid2345", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScanRig rig(Recording(row.tables));
    LogCapture capture;
    PMTLoader loader(rig.platform);
    EXPECT_EQ(row.result, loader.GetAllPIDs(row.serviceId, row.pmtPid));
    EXPECT_EQ(row.txt, TxtRecords(loader));
    EXPECT_EQ(row.dvb, DvbRecords(loader));
    EXPECT_EQ(0, rig.sim.OpenHandles());
    const std::string trace = rig.Trace();
    EXPECT_EQ("STOP close", trace.substr(trace.size() - 10)) << trace;
    EXPECT_EQ(1, rig.fault.Count("close"));
  }
}

TEST(GetAllPIDs, LogsItsHeaderWithTheDevicePath) {
  ScanRig rig(Recording({{0, tsgen::BuildPAT(1, {{0, 0x10}})}}));
  LogCapture capture;
  PMTLoader loader(rig.platform);
  capture.Clear();
  EXPECT_EQ(0, loader.GetAllPIDs(0x2b, 0x1ff));
  EXPECT_EQ(Lines({"Scan stream for subtitles using PAT, PMT...\n",
                   "SearchSID:0x002b  SearchPMT:0x01ff \n", "Using DemuxDevice: /sim/demux0\n"}),
            capture.Text());
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

TEST(GetAllPIDs, BroadcastSample) {
  ScanRig rig(Bytes{});
  std::string error;
  ASSERT_TRUE(rig.demux.Load(ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.ts", &error)) << error;
  LogCapture capture;
  PMTLoader loader(rig.platform);
  EXPECT_EQ(1, loader.GetAllPIDs(4006, 0xA0));
  EXPECT_EQ("2/889/fre/pid42c/sidfa6 5/888/fre/pid42c/sidfa6", TxtRecords(loader));
  EXPECT_TRUE(loader.DvbSubtitles().empty());
  int pid = 0;
  int page = 0;
  EXPECT_EQ(1, loader.FindTXTSubtitle("fre", 2, pid, page));
  EXPECT_EQ(0x42c, pid);
  EXPECT_EQ(0x889, page);
  // Records are announced in PMT order: 888 first.
  const std::string log = capture.Text();
  EXPECT_LT(log.find("Page: 888"), log.find("Page: 889")) << log;
}

}  // namespace
