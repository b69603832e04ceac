#include "stream/pmt_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "common/log.h"
#include "sim/sim_device_io.h"
#include "stream/service_pids.h"
#include "support/fault_io.h"
#include "support/scripted_demux.h"
#include "tsgen/psi.h"

namespace {

using tsgen::Bytes;

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

// Both codes of a language and any letter case come out as the one code the
// box has always stored; anything else only lower-cased.
TEST(NormalizeLanguage, BothCodesAndAnyCase) {
  const std::string pairs = "esl spa ESP spa deu ger GER ger Fra fre ces cze ell gre hrv scr "
      "ron rum slk slo srp scc nld dut sqi alb hye arm eus baq mya bur zho chi kat geo isl ice "
      "mkd mac mri mao msa may fas per bod tib CYM wel Swe swe \xC4ng \xC4ng";
  std::vector<std::pair<std::string, std::string>> cases = {{" fra", " fra"}, {"", ""}, {"fre\r", "fre\r"}};
  for (size_t at = 0; at + 7 <= pairs.size(); at += 8) cases.push_back({pairs.substr(at, 3), pairs.substr(at + 4, 3)});
  PMTLoader loader;
  for (const auto& [in, want] : cases) {
    std::string out;
    loader.NormalizeLanguage(in, out);
    EXPECT_EQ(out, want) << in;
  }
}

// Pages announced one digit off are the ones sent; only subtitle types count.
TEST(ParseTeletextDescriptor, FixesPagesOneDigitOffAndKeepsOnlySubtitles) {
  LogCapture capture;
  PMTLoader loader;
  const Bytes quirks =
      tsgen::TeletextDescriptor({{"deu", 2, 0x858}, {"deu", 5, 0x859}, {"deu", 1, 0x100}});
  loader.ParseTeletextDescriptor(quirks.data(), 1, 1);
  loader.ParseTeletextDescriptor(nullptr, 1, 1);
  loader.ParseSubtitlingDescriptor(nullptr, 1, 1);
  std::vector<std::tuple<int, int, std::string, int>> got;  // type, page, language, PID
  for (const TXTSubtitleInfo* t : loader.TxtSubtitles()) {
    got.emplace_back(t->type, t->page, t->language, t->pid);
  }
  EXPECT_EQ((decltype(got){{5, 0x889, "ger", 1}, {2, 0x888, "ger", 1}}), got);
  EXPECT_TRUE(loader.DvbSubtitles().empty());
}

// Each way a scan can fail, and reads that return short, truncated or lying
// sections as a faulty driver might: what the scan counts and logs, and that
// it stops and closes exactly what it set and opened. A damaged section counts
// as nothing, read only within what arrived and its own length; the four CRC
// bytes at the end of a PAT are never taken for a program entry.
TEST(GetAllPIDs, FailuresAndDamagedSections) {
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
  const std::string patOnly = "open FILTER read STOP close";
  const std::string scanned = "open FILTER read FILTER read STOP close";

  struct Row {
    const char* name;
    std::vector<Bytes> replies;
    std::string fail;  // "open", "read" or "filter", on the nth such call
    int nth;
    int service;
    int result;
    std::string logged;
    std::string trace;
    // The CRC rows look for a service only the CRC bytes could name, on a PMT
    // PID no entry has.
    int pmtPid = 0x100;
  };
  const std::vector<Row> rows = {
      {"no PMT PID", {kPat, kPmt}, "", 0, 0x10, -1, "", "", 0},
      {"open fails", {}, "open", 1, 0x10, 0, "Error open(DMX)\n", "open"},
      {"PAT filter fails", {}, "filter", 1, 0x10, 0, "Error ioctl(DMX_SET_FILTER PAT)\n",
       "open FILTER STOP close"},
      {"PAT read fails", {}, "read", 1, 0x10, -1, "Error read(PAT)\n", patOnly},
      {"PMT filter fails", {kPat}, "filter", 2, 0x10, 0, "Error ioctl(DMX_SET_FILTER PMT)\n",
       "open FILTER read FILTER STOP close"},
      {"PMT read fails", {kPat}, "read", 2, 0x10, 0, "Error read(PMT)\n",
       "open FILTER read FILTER read STOP STOP close"},
      {"success", {kPat, kPmt}, "", 0, 0x10, 1, "           Page: 150\n", scanned},
      {"PAT shorter than it claims", {withLength(kPat, 200)}, "", 0, 0x10, 0, "Damaged PAT",
       patOnly},
      {"PAT length below its header", {withLength(kPat, 4)}, "", 0, 0x10, 0, "Damaged PAT",
       patOnly},
      {"PAT CRC as an entry", {kPat}, "", 0, (kPat[12] << 8) | kPat[13], 0, "", patOnly, 0x1FFE},
      {"stray bytes before the CRC", {misalignedPat}, "", 0, 0x0ABC, 0, "", patOnly, 0x1FFE},
      {"PMT cut short", {kPat, cut(kPmt, kPmt.size() - 1)}, "", 0, 0x10, 0,
       "Damaged PMT section", scanned},
      {"PMT of 2 bytes", {kPat, cut(kPmt, 2)}, "", 0, 0x10, 0, "Damaged PMT section", scanned},
      {"ES entry overruns", {kPat, lyingEntry}, "", 0, 0x10, 1, "overruns the section", scanned},
      {"descriptor overruns", {kPat, lyingDescriptor}, "", 0, 0x10, 1, "overruns its stream entry",
       scanned},
      {"program info overruns", {kPat, patch(kPmt, 10, {0xF0, 0xF0})}, "", 0, 0x10, 0,
       "program info overruns", scanned},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.replies);
    LogCapture capture;
    PMTLoader loader(rig.platform);
    // A previous scan's records must be gone whatever happens next.
    const Bytes dvb = tsgen::SubtitlingDescriptor({{"deu", 1, 1, 1}});
    loader.ParseTeletextDescriptor(kTxt.data(), 0x150, 1);
    loader.ParseSubtitlingDescriptor(dvb.data(), 0x201, 1);
    capture.Clear();
    if (row.fail == "filter") rig.fault.FailOn("ioctl", DMX_SET_FILTER, row.nth);
    if (row.fail == "open" || row.fail == "read") rig.fault.FailOn(row.fail, 0, row.nth);
    EXPECT_EQ(row.result, loader.GetAllPIDs(row.service, row.pmtPid));
    EXPECT_EQ(row.trace, rig.Trace());
    const std::string log = capture.Text();
    EXPECT_TRUE(row.logged.empty() ? log.find("Page:") == log.npos
                                   : log.find(row.logged) != log.npos)
        << log;
    // One teletext record for each descriptor counted, none from before.
    EXPECT_EQ(static_cast<size_t>(std::max(row.result, 0)), loader.TxtSubtitles().size());
    EXPECT_TRUE(loader.DvbSubtitles().empty());
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
  const Bytes cutPmt(kPmt.begin(), kPmt.end() - 1);
  struct Row {
    const char* name;
    std::vector<Bytes> replies;
    int refused;  // the n-th section filter, 0: none
    int service;
    ServiceScan result;
    std::vector<int> pids;  // PMT, video, audio, teletext
  };
  const std::vector<Row> rows = {
      {"every kind", {kPat, all}, 0, 0x10, ServiceScan::Ok, {0x100, 0x302, 0x201, 0x201}},
      {"other programs and cut sections first", {kPat, other, cutPmt, kPmt}, 0, 0x10,
       ServiceScan::Ok, {0x100, 0, 0, 0x300}},
      {"entries that lie", {kPat, lying}, 0, 0x10, ServiceScan::Ok, {0x100, 0, 0, 0}},
      {"PAT filter refused", {}, 1, 0x10, ServiceScan::NoDevice, {-1, 0, 0, 0}},
      {"PMT filter refused", {kPat}, 2, 0x10, ServiceScan::NoDevice, {-1, 0, 0, 0}},
      {"service 0 is the network PID", {kPat}, 0, 0, ServiceScan::NotInPat, {-1, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.replies);
    if (row.refused > 0) rig.fault.FailOn("ioctl", DMX_SET_FILTER, row.refused);
    ServicePids out;
    EXPECT_EQ(row.result, ReadServicePids(rig.platform, row.service, out));
    EXPECT_EQ(row.pids, (std::vector<int>{out.pmtPid, out.vpid, out.apid, out.tpid}));
    EXPECT_EQ(0, rig.sim.OpenHandles());
  }
}

}  // namespace
