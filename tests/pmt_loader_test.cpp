#include "stream/pmt_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "sim/sim_device_io.h"
#include "stream/service_pids.h"
#include "support/fault_io.h"
#include "support/scripted_demux.h"
#include "tsgen/psi.h"

namespace {

using tsgen::Bytes;

// "type/page/lang/pid/sid" of every teletext record, front of the list first.
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

// The daemon's scanner with every device call recorded and open to fault
// injection, on reads that return `replies` as they stand.
struct Rig {
  explicit Rig(const std::vector<Bytes>& replies) {
    for (const Bytes& r : replies) demux.Add(r);
    sim.Attach(platform.paths.demux, &demux);
  }

  // The device calls in order, ioctls by request name.
  std::string Trace() const {
    std::string out;
    for (const FaultIO::Call& c : fault.Calls()) {
      const std::string ioctl = c.request == DMX_SET_FILTER ? "FILTER" : "STOP";
      out += (out.empty() ? "" : " ") + (c.op == "ioctl" ? ioctl : c.op);
    }
    return out;
  }

  ScriptedDemux demux;
  SimDeviceIO sim;
  FaultIO fault{&sim};
  Platform platform{&fault, RealClock::Instance(), Paths()};
};

const Bytes kPat = tsgen::BuildPAT(1, {{0x10, 0x100}});
const Bytes kTxt = tsgen::TeletextDescriptor({{"deu", 2, 0x150}});
const Bytes kPmt = tsgen::BuildPMT(0x10, 0x1FFF, {}, {{0x06, 0x300, kTxt}});

TEST(ParseTeletextDescriptor, ReadsOnlyTheBytesAvailable) {
  // The length byte claims three entries (15 bytes).
  const Bytes d = tsgen::Descriptor(0x56, {'e', 'n', 'g', 0x11, 0x50, 'e', 'n', 'g', 0x11, 0x51,
                                           'e', 'n', 'g', 0x11, 0x52});
  const std::vector<std::pair<size_t, size_t>> rows = {{0, 0},  {1, 0},  {2, 0},  {6, 0}, {7, 1},
                                                       {11, 1}, {12, 2}, {16, 2}, {17, 3}, {400, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    LogCapture capture;
    PMTLoader loader;
    // Exactly `available` bytes on the heap: a read past them trips the sanitizer.
    Bytes buffer(d);
    buffer.resize(row.first, 0);
    loader.ParseTeletextDescriptor(buffer.data(), 1, 1, row.first);
    EXPECT_EQ(row.second, loader.TxtSubtitles().size());
  }
  // Pages announced one digit off are the ones sent; only subtitle types count.
  LogCapture capture;
  PMTLoader loader;
  const Bytes quirks =
      tsgen::TeletextDescriptor({{"deu", 2, 0x858}, {"deu", 5, 0x859}, {"deu", 1, 0x100}});
  loader.ParseTeletextDescriptor(quirks.data(), 1, 1);
  loader.ParseTeletextDescriptor(nullptr, 1, 1);
  loader.ParseSubtitlingDescriptor(nullptr, 1, 1);
  EXPECT_EQ("5/889/ger/pid1/sid1 2/888/ger/pid1/sid1", TxtRecords(loader));
  EXPECT_TRUE(loader.DvbSubtitles().empty());
}

// Reads that return short, truncated or lying sections, as a faulty driver
// might; the scan must stay within what was read and the section's length.
// The four CRC bytes at the end of a PAT are never taken for a program entry.
TEST(GetAllPIDs, DamagedSectionsCountAsNothing) {
  auto withLength = [](Bytes s, int length) {
    s[1] = static_cast<uint8_t>((s[1] & 0xF0) | ((length >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(length);
    return s;
  };
  auto cut = [](const Bytes& s, size_t n) { return Bytes(s.begin(), s.begin() + n); };
  auto patch = [](Bytes s, size_t at, std::vector<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
    tsgen::FixCRC(s);
    return s;
  };
  const Bytes second = tsgen::TeletextDescriptor({{"eng", 2, 0x777}});
  Bytes descs = kTxt;
  descs.insert(descs.end(), second.begin(), second.end());
  const size_t secondEntry = 12 + 5 + 7;
  // The second entry claims 200 bytes of ES info, more than the section holds.
  const Bytes lyingEntry = patch(
      tsgen::BuildPMT(0x10, 0x1FFF, {}, {{0x06, 0x300, kTxt}, {0x06, 0x301, second}}),
      secondEntry + 3, {0xF0, 200});
  // The second descriptor of an entry claims 40 bytes, past the entry's end.
  const Bytes lyingDescriptor =
      patch(tsgen::BuildPMT(0x10, 0x1FFF, {}, {{0x06, 0x300, descs}}), secondEntry + 1, {40});
  const Bytes misalignedPat = tsgen::BuildSection(0x00, 1, 0, {0x00, 0x10, 0xE1, 0x00, 0x0A, 0xBC});

  struct Row {
    const char* name;
    Bytes patReply;
    Bytes pmtReply;
    int service;
    int result;
    std::string logged;
    std::string txt;
  };
  const std::vector<Row> rows = {
      {"PAT shorter than it claims", withLength(kPat, 200), {}, 0x10, 0, "Damaged PAT", ""},
      {"PAT length below its header", withLength(kPat, 4), {}, 0x10, 0, "Damaged PAT", ""},
      {"PAT CRC as an entry", kPat, {}, (kPat[12] << 8) | kPat[13], 0, "", ""},
      {"stray bytes before the CRC", misalignedPat, {}, 0x0ABC, 0, "", ""},
      {"PMT cut short", kPat, cut(kPmt, kPmt.size() - 1), 0x10, 0, "Damaged PMT section", ""},
      {"PMT of 2 bytes", kPat, cut(kPmt, 2), 0x10, 0, "Damaged PMT section", ""},
      {"ES entry overruns", kPat, lyingEntry, 0x10, 1, "overruns the section",
       "2/150/ger/pid300/sid10"},
      {"descriptor overruns", kPat, lyingDescriptor, 0x10, 1, "overruns its stream entry",
       "2/150/ger/pid300/sid10"},
      {"program info overruns", kPat, patch(kPmt, 10, {0xF0, 0xF0}), 0x10, 0,
       "program info overruns", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig({row.patReply, row.pmtReply});
    LogCapture capture;
    PMTLoader loader(rig.platform);
    // The CRC rows look for a service only the CRC bytes could name, on a PMT
    // PID no entry has.
    EXPECT_EQ(row.result, loader.GetAllPIDs(row.service, row.service == 0x10 ? 0x100 : 0x1FFE));
    EXPECT_NE(std::string::npos, capture.Text().find(row.logged)) << capture.Text();
    EXPECT_EQ(row.txt, TxtRecords(loader));
    // Without the service in the PAT, no PMT filter is set.
    EXPECT_EQ(row.pmtReply.empty() ? 1 : 2, rig.fault.Count("ioctl", DMX_SET_FILTER));
    EXPECT_EQ(1, rig.fault.Count("close"));
    EXPECT_EQ(0, rig.sim.OpenHandles());
  }
}

TEST(GetAllPIDs, FailuresCloseAndStopExactlyWhereExpected) {
  struct Row {
    const char* name;
    std::string op;
    int nth;
    int pmtPid;
    int result;
    std::string logged;
    std::string trace;
  };
  const std::vector<Row> rows = {
      {"no PMT PID", "", 0, 0, -1, "", ""},
      {"open fails", "open", 1, 0x100, 0, "Error open(DMX)\n", "open"},
      {"PAT filter fails", "filter", 1, 0x100, 0, "Error ioctl(DMX_SET_FILTER PAT)\n",
       "open FILTER STOP close"},
      {"PAT read fails", "read", 1, 0x100, -1, "Error read(PAT)\n", "open FILTER read STOP close"},
      {"PMT filter fails", "filter", 2, 0x100, 0, "Error ioctl(DMX_SET_FILTER PMT)\n",
       "open FILTER read FILTER STOP close"},
      {"PMT read fails", "read", 2, 0x100, 0, "Error read(PMT)\n",
       "open FILTER read FILTER read STOP STOP close"},
      {"success", "", 0, 0x100, 1, "           Page: 150\n",
       "open FILTER read FILTER read STOP close"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig({kPat, kPmt});
    LogCapture capture;
    PMTLoader loader(rig.platform);
    // A previous scan's records must be gone whatever happens next.
    const Bytes dvb = tsgen::SubtitlingDescriptor({{"deu", 1, 1, 1}});
    loader.ParseTeletextDescriptor(kTxt.data(), 0x150, 1);
    loader.ParseSubtitlingDescriptor(dvb.data(), 0x201, 1);
    capture.Clear();
    if (row.op == "filter") rig.fault.FailOn("ioctl", DMX_SET_FILTER, row.nth);
    if (!row.op.empty() && row.op != "filter") rig.fault.FailOn(row.op, 0, row.nth);
    EXPECT_EQ(row.result, loader.GetAllPIDs(0x10, row.pmtPid));
    EXPECT_EQ(row.trace, rig.Trace());
    const std::string log = capture.Text();
    EXPECT_TRUE(row.logged.empty() ? log.empty() : log.find("ZUVA: " + row.logged) != log.npos)
        << log;
    if (row.result <= 0) {
      EXPECT_TRUE(loader.TxtSubtitles().empty());
      EXPECT_TRUE(loader.DvbSubtitles().empty());
    }
    EXPECT_EQ(0, rig.sim.OpenHandles());
  }
}

// The first video, audio and teletext stream of the service's PMT, whatever
// the type or descriptor that makes it one; other programs' PMTs and damaged
// sections are passed over.
TEST(ReadServicePids, FindsTheFirstStreamOfEachKind) {
  auto tagged = [](uint16_t pid, uint8_t tag) {
    return tsgen::PmtStream{0x06, pid, tsgen::Descriptor(tag, {0})};
  };
  std::vector<tsgen::PmtStream> streams = {{0x05, 0x200, {}}, tagged(0x201, 0x7C)};
  for (const uint8_t tag : {0x7B, 0x7A, 0x6A, 0x46, 0x56}) streams.push_back(tagged(0x201, tag));
  for (const uint8_t type : {0x02, 0x10, 0x1B, 0x24, 0x42, 0x01, 0x04, 0x0F, 0x11, 0x81, 0x03}) {
    streams.push_back({type, static_cast<uint16_t>(0x300 + type), {}});
  }
  const Bytes all = tsgen::BuildPMT(0x10, 0x1FFF, {}, streams);
  Bytes lying = tsgen::BuildPMT(0x10, 0x1FFF, {}, {tagged(0x205, 0x46), tagged(0x206, 0x6A)});
  lying[18] = 9;    // the first stream's descriptor runs past its entry
  lying[24] = 200;  // the second entry runs past the section
  tsgen::FixCRC(lying);
  const Bytes other = tsgen::BuildPMT(0x11, 0x1FFF, {}, {{0x02, 0x666, {}}});
  const Bytes cutPat(kPat.begin(), kPat.begin() + 2);
  const Bytes cutPmt(kPmt.begin(), kPmt.end() - 1);
  struct Row {
    const char* name;
    std::vector<Bytes> replies;
    const char* fail;  // "open", or the n-th section filter ("1", "2")
    int service;
    ServiceScan result;
    std::vector<int> pids;  // PMT, video, audio, teletext
  };
  const std::vector<Row> rows = {
      {"every kind", {kPat, all}, "", 0x10, ServiceScan::Ok, {0x100, 0x302, 0x201, 0x201}},
      {"other programs and cut sections first", {kPat, other, cutPmt, kPmt}, "", 0x10,
       ServiceScan::Ok, {0x100, 0, 0, 0x300}},
      {"entries that lie", {kPat, lying}, "", 0x10, ServiceScan::Ok, {0x100, 0, 0, 0}},
      {"no device", {}, "open", 0x10, ServiceScan::NoDevice, {-1, 0, 0, 0}},
      {"PAT filter refused", {}, "1", 0x10, ServiceScan::NoDevice, {-1, 0, 0, 0}},
      {"PMT filter refused", {kPat}, "2", 0x10, ServiceScan::NoDevice, {-1, 0, 0, 0}},
      {"no PAT", {cutPat}, "", 0x10, ServiceScan::NoPat, {-1, 0, 0, 0}},
      {"service 0 is the network PID", {kPat}, "", 0, ServiceScan::NotInPat, {-1, 0, 0, 0}},
      {"not in the PAT", {kPat}, "", 0x11, ServiceScan::NotInPat, {-1, 0, 0, 0}},
      {"only other programs' PMTs", {kPat, other}, "", 0x10, ServiceScan::NoPmt, {-1, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.replies);
    const std::string fail = row.fail;
    if (fail == "open") rig.fault.FailOn("open");
    if (fail == "1" || fail == "2") rig.fault.FailOn("ioctl", DMX_SET_FILTER, fail[0] - '0');
    ServicePids out;
    EXPECT_EQ(row.result, ReadServicePids(rig.platform, row.service, out));
    EXPECT_EQ(row.pids, (std::vector<int>{out.pmtPid, out.vpid, out.apid, out.tpid}));
    EXPECT_EQ(0, rig.sim.OpenHandles());
  }
}

}  // namespace
