// The box headers name their request numbers like the kernel's macros, so
// their values are taken before the kernel header is included.
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"

namespace boxreq {
constexpr unsigned long kStop = DMX_STOP;
constexpr unsigned long kSetFilter = DMX_SET_FILTER;
constexpr unsigned long kSetPESFilter = DMX_SET_PES_FILTER;
constexpr unsigned long kGetSTC = DMX_GET_STC;
constexpr unsigned long kSetBufferSize = DMX_SET_BUFFERSIZE;
}  // namespace boxreq

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "common/log.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"
#include "support/recording_decoder.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "tsgen/pes.h"
#include "tsgen/psi.h"
#include "tsgen/ts.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Stands in for the C library under the translating layer, as a PC adapter's
// demultiplexer behaves. It hands out the lowest free descriptor as the
// kernel does and keeps, for every ioctl, the request number and a copy of the
// record the kernel would be handed. Like the kernel's software demultiplexer
// it keeps no system time clock (DMX_GET_STC fails with EINVAL) unless a test
// gives it one; a section filter delivers the PMT set here; a PES filter the
// bytes queued for its PID (whole TS packets for the TS tap); otherwise
// nothing waits.
class FakeKernel : public DeviceIO {
 public:
  struct Call { int fd; unsigned long request; void* arg; Bytes bytes; };  // bytes: the record, if any
  struct Handle { int flags = 0; bool section = false; dmx_pes_filter_params pes{}; };

  int Open(const char* path, int flags) override {
    paths.push_back(path);
    if (failOpen) return errno = ENOENT, -1;
    int fd = 3;
    while (handles.count(fd)) ++fd;
    handles[fd].flags = flags;
    return fd;
  }
  int Close(int fd) override { return handles.erase(fd) ? 0 : (errno = EBADF, -1); }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    const Handle& h = handles.at(fd);
    Bytes& source = h.section ? pmt : tap[h.pes.pid];
    if (source.empty()) return errno = EAGAIN, -1;
    const size_t n = std::min(count, source.size());
    std::memcpy(buffer, source.data(), n);
    source.erase(source.begin(), source.begin() + static_cast<long>(n));
    return static_cast<ssize_t>(n);
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    Handle& h = handles.at(fd);
    calls.push_back({fd, request, arg, {}});
    // Only the standard record requests have a record, of the size their
    // request number announces.
    if ((request == DMX_SET_FILTER || request == DMX_SET_PES_FILTER || request == DMX_GET_STC) &&
        arg != nullptr) {
      calls.back().bytes.assign(static_cast<uint8_t*>(arg),
                                static_cast<uint8_t*>(arg) + _IOC_SIZE(request));
    }
    if (request == DMX_GET_STC) {
      if (clock.stc == 0) return errno = EINVAL, -1;
      asked = *static_cast<dmx_stc*>(arg);
      *static_cast<dmx_stc*>(arg) = clock;
    }
    if (request == DMX_SET_FILTER) h.section = true;
    if (request == DMX_SET_PES_FILTER) h.pes = *static_cast<dmx_pes_filter_params*>(arg);
    return 0;
  }
  void* Mmap(void*, size_t, int, int, int, off_t) override { return MAP_FAILED; }
  int Munmap(void*, size_t) override { return 0; }

  // The daemon's PMT scan through `io`, of a PMT naming `pcrPid`.
  void Scan(LinuxDvbIO& io, int pcrPid) {
    const int scan = io.Open("/dev/dvb/card0/demux0", O_RDWR);
    SectionFilterParams filter{0x20, {0x02}, {0xFF}, {}, 5000, 7};
    ASSERT_EQ(io.Ioctl(scan, boxreq::kSetFilter, &filter), 0);
    pmt = tsgen::BuildPMT(1, static_cast<uint16_t>(pcrPid), {}, {});
    uint8_t section[1024];
    ASSERT_GT(io.Read(scan, section, sizeof section), 0);
    io.Close(scan);
  }

  bool failOpen = false;
  std::vector<std::string> paths;
  std::vector<Call> calls;
  Bytes pmt;
  std::map<int, Bytes> tap;  // by PID
  std::map<int, Handle> handles;
  dmx_stc clock{}, asked{};  // the driver's own clock, and the record it was handed
};

template <typename T>
Bytes BytesOf(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(p, p + sizeof value);
}

// A layer with one demultiplexer handle open, as the daemon's scan has it.
class LinuxDvbIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inner.clock.stc = 1;
    ASSERT_GE(fd = io.Open("/dev/dvb/card0/demux0", O_RDWR), 0);
  }

  FakeKernel inner;
  LinuxDvbIO io{&inner};
  int fd = -1;
};

TEST(LinuxDvbIOPaths, MapsBoxNodesToStandardNodes) {
  struct Case { const char* path; const char* mapped; bool demux; };
  const Case cases[] = {
      {"/dev/dvb/card12/demux10", "/dev/dvb/adapter12/demux10", true},
      {"/dev/dvb/card0/dvr0", "/dev/dvb/adapter0/dvr0", false},
      {"/dev/dvb/adapter0/demux0", "/dev/dvb/adapter0/demux0", true},
      {"/dev/fb/1", "/dev/fb1", false},
      // Anything that is not exactly a box node stays as it is.
      {"/dev/fb0", "/dev/fb0", false},
      {"/dev/fb/", "/dev/fb/", false},
      {"/dev/dvb/cardA/demux0", "/dev/dvb/cardA/demux0", false},
      {"/dev/dvb/card0/", "/dev/dvb/card0/", false},
      {"/dev/dvb/card0/sub/demux0", "/dev/dvb/card0/sub/demux0", false},
      {"/dev/dvb/card0/demuxer0", "/dev/dvb/adapter0/demuxer0", false},
      {"/x/dev/dvb/card0/demux0", "/x/dev/dvb/card0/demux0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(LinuxDvbIO::MapPath(c.path), c.mapped);
    EXPECT_EQ(LinuxDvbIO::IsDemuxPath(c.mapped), c.demux);
  }
}

// The box driver's request numbers written out, not taken from the header
// every fake shares; each reaches a standard driver as its standard request.
TEST_F(LinuxDvbIOTest, BoxRequestNumbersAreTheDriversOwn) {
  SectionFilterParams section{};
  PESFilterParams pes{};
  STCRequest stc{};
  const std::tuple<unsigned long, unsigned long, unsigned long, void*> cases[] = {
      {boxreq::kStop, 0x80046F2Aul, DMX_STOP, nullptr},
      {boxreq::kSetFilter, 0x80046F2Bul, DMX_SET_FILTER, &section},
      {boxreq::kSetPESFilter, 0x80046F2Cul, DMX_SET_PES_FILTER, &pes},
      {boxreq::kSetBufferSize, 0x80046F2Dul, DMX_SET_BUFFER_SIZE, reinterpret_cast<void*>(4096)},
      {boxreq::kGetSTC, 0x40106F32ul, DMX_GET_STC, &stc}};
  for (const auto& [header, value, standard, arg] : cases) {
    EXPECT_EQ(header, value);
    ASSERT_EQ(io.Ioctl(fd, value, arg), 0);
    EXPECT_EQ(inner.calls.back().request, standard) << value;
  }
  EXPECT_EQ(inner.calls[3].arg, reinterpret_cast<void*>(4096));  // the size itself, on both
}

// Each box record reaches the kernel as the standard one, its padding not
// leaking and the daemon's copy unchanged; a missing record or a value without
// a standard counterpart fails before the kernel sees anything.
TEST_F(LinuxDvbIOTest, RecordsReachTheKernelAsTheStandardOnesOrAreRefused) {
  using Records = std::pair<Bytes, Bytes>;  // the box's, the kernel's
  // Filter and mask: their leading bytes, the rest 0.
  const auto sct = [](uint16_t pid, const Bytes& filter, const Bytes& mask, uint32_t timeout,
                      uint32_t boxFlags, uint32_t flags) {
    SectionFilterParams box{pid, {}, {}, {0xEE, 0xEE}, timeout, boxFlags};
    dmx_sct_filter_params k;
    std::memset(&k, 0, sizeof k);
    k.pid = pid;
    k.timeout = timeout;
    k.flags = flags;
    std::copy(filter.begin(), filter.end(), box.filter);
    std::copy(filter.begin(), filter.end(), k.filter.filter);
    std::copy(mask.begin(), mask.end(), box.mask);
    std::copy(mask.begin(), mask.end(), k.filter.mask);
    return Records{BytesOf(box), BytesOf(k)};
  };
  const auto pes = [](uint16_t pid, std::array<uint32_t, 4> box, dmx_input input,
                      dmx_output output, dmx_ts_pes type, uint32_t flags) {
    dmx_pes_filter_params k;
    std::memset(&k, 0, sizeof k);
    k.pid = pid;
    k.input = input;
    k.output = output;
    k.pes_type = type;
    k.flags = flags;
    return Records{BytesOf(PESFilterParams{pid, {0xEE, 0xEE}, box[0], box[1], box[2], box[3]}),
                   BytesOf(k)};
  };
  // input, output, PES type, flags
  const auto badPes = [](std::array<uint32_t, 4> box) {
    return Records{BytesOf(PESFilterParams{0x100, {}, box[0], box[1], box[2], box[3]}), {}};
  };
  SectionFilterParams badSection{};
  badSection.flags = 7 | 0x80000000u;
  Bytes ramp(16);
  std::iota(ramp.begin(), ramp.end(), 0x10);
  const Bytes inverse(ramp.rbegin(), ramp.rend());
  const uint32_t all = DMX_CHECK_CRC | DMX_ONESHOT | DMX_IMMEDIATE_START, now = DMX_IMMEDIATE_START;
  const auto in = DMX_IN_FRONTEND;
  const unsigned long sf = boxreq::kSetFilter, pf = boxreq::kSetPESFilter;
  struct Case { const char* name; unsigned long request; Records records; int err = 0; };
  const Case cases[] = {
      {"PAT", sf, sct(0x0000, {0x00}, {0xFF}, 5000, 7, all)},
      {"all sixteen bytes", sf, sct(0x1234, ramp, inverse, 0xA1B2C3D4u, 1, DMX_CHECK_CRC)},
      {"one-shot only", sf, sct(0x0012, {0x4E}, {0xFE}, 0, 2, DMX_ONESHOT)},
      {"tap", pf, pes(0x1FFF, {0, 1, 5, 4}, in, DMX_OUT_TAP, DMX_PES_OTHER, now)},
      {"DVR", pf, pes(0x1FFE, {1, 1, 5, 0}, DMX_IN_DVR, DMX_OUT_TAP, DMX_PES_OTHER, 0)},
      {"decoder", pf, pes(0x1FFD, {0, 0, 0, 4}, in, DMX_OUT_DECODER, DMX_PES_AUDIO0, now)},
      {"TS tap", pf, pes(0x1FFC, {0, 2, 1, 4}, in, DMX_OUT_TS_TAP, DMX_PES_VIDEO0, now)},
      {"teletext, CRC", pf, pes(0x1FFB, {0, 1, 2, 5}, in, DMX_OUT_TAP, DMX_PES_TELETEXT0, now | DMX_CHECK_CRC)},
      {"subtitles", pf, pes(0x1FFA, {0, 1, 3, 4}, in, DMX_OUT_TAP, DMX_PES_SUBTITLE0, now)},
      {"PCR", pf, pes(0x1FF9, {0, 1, 4, 4}, in, DMX_OUT_TAP, DMX_PES_PCR0, now)},
      {"unknown section flag", sf, {BytesOf(badSection), {}}, EINVAL},
      {"no section filter", sf, {}, EFAULT},
      {"no PES filter", pf, {}, EFAULT},
      {"no clock record", boxreq::kGetSTC, {}, EFAULT},
      {"unknown input", pf, badPes({2, 1, 5, 4}), EINVAL},
      {"unknown output", pf, badPes({0, 3, 5, 4}), EINVAL},
      {"unknown PES type", pf, badPes({0, 1, 6, 4}), EINVAL},
      {"huge PES type", pf, badPes({0, 1, 0xFFFFFFFFu, 4}), EINVAL},
      {"unknown PES flag", pf, badPes({0, 1, 5, 8}), EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes record = c.records.first;
    inner.calls.clear();
    errno = 0;
    EXPECT_EQ(io.Ioctl(fd, c.request, record.empty() ? nullptr : record.data()), c.err ? -1 : 0);
    EXPECT_EQ(record, c.records.first) << "the daemon's record was changed";
    if (c.err != 0) {
      EXPECT_EQ(errno, c.err);
      EXPECT_TRUE(inner.calls.empty()) << "a refused record reached the kernel";
      continue;
    }
    ASSERT_EQ(inner.calls.size(), 1u);
    EXPECT_EQ(inner.calls.back().fd, fd);
    EXPECT_EQ(inner.calls.back().request, static_cast<unsigned long>(
        c.request == boxreq::kSetFilter ? DMX_SET_FILTER : DMX_SET_PES_FILTER));
    EXPECT_EQ(inner.calls.back().bytes, c.records.second);
  }
}

// The daemon's own steps on a PC adapter: the PMT scan, then the clock asked
// as the reader thread asks it; before each step PCRs on PID 0x100 may arrive.
// A driver with a clock of its own is read in 90 kHz ticks and never tapped.
TEST(LinuxDvbIOClock, ServesTheServicesPcrWhereTheDriverKeepsNone) {
  constexpr int64_t kFree = LinuxDvbIO::kFreeRunBase;
  constexpr int64_t kWrap = int64_t{1} << 33;
  constexpr int64_t kRefused = -1;
  // At `ms`, PCRs arrive (negative: that base with the discontinuity flag),
  // then the daemon reads `stc` (or is refused).
  struct Step { int64_t ms; std::vector<int64_t> pcrs; int64_t stc; };
  const std::string takeOver =
      "ZUVA: The demultiplexer keeps no system time clock: using the PCR on PID 0x0100\n";
  const std::string asArrive = ": subtitles are shown as they arrive\n";
  const std::string noPcr =
      "ZUVA: The demultiplexer keeps no system time clock and the service names no PCR" + asArrive;
  // pcrPid: in the PMT; -1: no PMT read at all
  struct Case { const char* name; int pcrPid; std::vector<Step> steps; std::string log; dmx_stc driver{}; };
  const Case cases[] = {
      {"the driver's own clock", 0x100, {{0, {900000}, 0x1FFFFFFFF}}, "", {0, 1, 0x1FFFFFFFF}},
      {"the driver's own clock, rounded down", 0x100, {{0, {}, 7}}, "", {0, 300, 300 * 7 + 299}},
      {"the driver's own clock without a divisor", 0x100, {{0, {}, 42}}, "", {0, 0, 42}},
      {"two agreeing PCRs start the clock, which runs on between them", 0x100,
       {{0, {900000}, kRefused}, {40, {903600}, 903600}, {60, {}, 905400}, {80, {907200}, 907200}}, takeOver},
      {"33-bit wrap", 0x100,
       {{0, {kWrap - 5400}, kRefused}, {40, {kWrap - 1800}, kWrap - 1800}, {60, {}, 0}, {80, {1800}, 1800}}, takeOver},
      {"flagged discontinuity is followed at once", 0x100,
       {{0, {900000}, kRefused}, {40, {903600}, 903600}, {80, {-50000}, 50000}, {100, {}, 51800}}, takeOver},
      {"unflagged jump is followed once the next PCR confirms it", 0x100,
       {{0, {900000}, kRefused}, {40, {903600}, 903600}, {80, {50000}, 907200}, {120, {53600}, 53600}}, takeOver},
      {"a single outlier is ignored", 0x100,
       {{0, {900000}, kRefused}, {40, {903600}, 903600}, {80, {903600 + (int64_t{1} << 32)}, 907200},
        {120, {910800}, 910800}}, takeOver},
      {"a lone first PCR never starts the clock", 0x100,
       {{0, {5000000}, kRefused}, {40, {903600}, kRefused}, {80, {907200}, 907200}}, takeOver},
      {"PCR PID 0x1FFF", 0x1FFF, {{0, {}, kFree}, {500, {}, kFree + 45000}}, noPcr},
      {"no PMT seen", -1, {{0, {}, kFree}}, noPcr},
      {"no PCR within a second", 0x100,
       {{0, {}, kRefused}, {1000, {}, kRefused}, {1010, {}, kFree}, {1020, {}, kFree + 900}},
       "ZUVA: No PCR on PID 0x0100 within a second" + asArrive},
      {"lost after a second without PCR, taken again when it returns", 0x100,
       {{0, {900000}, kRefused}, {40, {903600}, 903600}, {1040, {}, 993600}, {1050, {}, kFree},
        {2000, {5000}, kFree + 85500}, {2040, {8600}, 8600}},
       takeOver + "ZUVA: PCR on PID 0x0100 lost" + asArrive + takeOver},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel adapter;
    adapter.clock = c.driver;
    StepClock clock;
    LinuxDvbIO io(&adapter, &clock);
    LogCapture capture;
    if (c.pcrPid >= 0) adapter.Scan(io, c.pcrPid);
    const int fd = io.Open("/dev/dvb/card0/demux0", O_RDWR | O_NONBLOCK);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.ms);
      clock.Sleep(static_cast<uint32_t>(step.ms * 1000 - clock.NowMicros()));
      for (int64_t pcr : step.pcrs) {
        Bytes packet = tsgen::PCRPacket(0x100, pcr < 0 ? -pcr : pcr, 0);
        if (pcr < 0) packet[5] |= 0x80;
        adapter.tap[0x100].insert(adapter.tap[0x100].end(), packet.begin(), packet.end());
      }
      STCRequest request{0, 1, 0x1122334455667788ull};
      EXPECT_EQ(io.Ioctl(fd, boxreq::kGetSTC, &request), step.stc == kRefused ? -1 : 0);
      // A failed read leaves the record as it was.
      EXPECT_EQ(request.stc, step.stc == kRefused ? 0x1122334455667788ull : uint64_t(step.stc));
    }
    EXPECT_EQ(capture.Text(), c.log);
    EXPECT_TRUE(adapter.asked.num == 0 && adapter.asked.base == (c.driver.stc ? 1u : 0u));
    // The tap: the PCR PID's whole packets, on a handle of its own that
    // never blocks the reader thread, gone with the daemon's handle.
    const bool tapped = c.pcrPid == 0x100 && c.driver.stc == 0;
    ASSERT_EQ(adapter.handles.size(), tapped ? 2u : 1u);
    const FakeKernel::Handle& tap = adapter.handles.rbegin()->second;
    EXPECT_EQ(tap.pes.output == DMX_OUT_TSDEMUX_TAP && tap.pes.pid == 0x100 &&
                  tap.pes.flags == DMX_IMMEDIATE_START && (tap.flags & O_NONBLOCK) != 0,
              tapped);
    io.Close(fd);
    EXPECT_TRUE(adapter.handles.empty());
  }
}

// The fault the clock mends: on a PC adapter a subtitle with a PTS reached
// the decoder never. The reader thread itself gets it, at once without PCR.
TEST(LinuxDvbIOClock, ReaderThreadGetsSubtitlesOnAPcAdapter) {
  FakeKernel adapter;
  LinuxDvbIO io(&adapter);
  LogCapture quiet;
  adapter.Scan(io, 0x1FFF);
  adapter.tap[0x200] = tsgen::BuildPES(0xBD, 950000, Bytes(2, 0x20));
  RecordingDecoder decoder;
  PESFilter filter(Platform{&io, RealClock::Instance(), Paths()});
  ASSERT_TRUE(filter.Start(0x200, &decoder, 0));
  for (int i = 0; i < 500 && decoder.PacketCount() == 0; ++i) usleep(2000);
  filter.Stop();
  EXPECT_EQ(decoder.PacketCount(), 1u);
  EXPECT_TRUE(adapter.handles.empty());
}

TEST_F(LinuxDvbIOTest, OtherHandlesAndRequestsPassUnchanged) {
  const int fb = io.Open("/dev/fb/0", O_RDWR);
  ASSERT_GE(fb, 0);
  EXPECT_EQ(inner.paths.back(), "/dev/fb0");
  uint32_t word = 0;
  // A box number on a handle that is no demultiplexer is not ours to rewrite,
  // nor a number we do not know on one that is.
  for (const auto& [handle, request] : {std::pair{fb, boxreq::kSetFilter}, {fd, 0x12345678ul}}) {
    SCOPED_TRACE(request);
    ASSERT_EQ(io.Ioctl(handle, request, &word), 0);
    EXPECT_EQ(inner.calls.back().fd, handle);
    EXPECT_EQ(inner.calls.back().request, request);
    EXPECT_EQ(inner.calls.back().arg, &word);
  }
  EXPECT_EQ(io.Mmap(nullptr, 4, PROT_READ, MAP_SHARED, fb, 0), MAP_FAILED);

  // The kernel hands the lowest free number to the next open: once the
  // demultiplexer is closed, the framebuffer that gets its number must not
  // see demultiplexer requests rewritten.
  ASSERT_EQ(io.Close(fb), 0);
  ASSERT_EQ(io.Close(fd), 0);
  ASSERT_EQ(io.Open("/dev/fb/0", O_RDWR), fd);
  ASSERT_EQ(io.Ioctl(fd, boxreq::kStop, &word), 0);
  EXPECT_EQ(inner.calls.back().request, boxreq::kStop);
  ASSERT_EQ(io.Close(fd), 0);
  ASSERT_EQ(io.Open("/dev/dvb/card0/demux0", O_RDWR | O_NONBLOCK), fd);
  ASSERT_EQ(io.Ioctl(fd, boxreq::kStop, nullptr), 0);
  EXPECT_EQ(inner.calls.back().request, static_cast<unsigned long>(DMX_STOP));
  EXPECT_EQ(io.Close(fd), 0);
  EXPECT_EQ(io.DemuxHandles(), 0u);

  inner.failOpen = true;
  EXPECT_EQ(io.Open("/dev/dvb/card0/demux0", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(io.DemuxHandles(), 0u);
  EXPECT_EQ(io.Open(nullptr, O_RDWR), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST(SelectDeviceIO, PicksTheStandardApiOnlyWhenTheBoxNodeIsMissing) {
  const Paths paths;
  const std::string standardNode = "/dev/dvb/adapter0/demux0";
  for (int present = 0; present < 4; ++present) {  // bit 0: the box's node, bit 1: the standard
    SCOPED_TRACE(present);
    TempDir root;
    for (const std::string& node : {paths.demux, standardNode}) {
      if ((present & (node == standardNode ? 2 : 1)) == 0) continue;
      std::filesystem::create_directories(std::filesystem::path(root.File(node)).parent_path());
      ASSERT_TRUE(std::ofstream(root.File(node)).good()) << node;
    }
    const bool standardApi = present == 2;
    FakeKernel box;
    FakeKernel standard;
    LogCapture capture;
    EXPECT_EQ(SelectDeviceIO(paths, &box, &standard, root.Path()), standardApi ? &standard : &box);
    EXPECT_EQ(capture.Text(), standardApi ? "ZUVA: Device I/O: standard Linux DVB API on " +
                                                standardNode + " and /dev/fb0\n"
                                          : "ZUVA: Device I/O: box driver on " + paths.demux +
                                                " and /dev/fb/0\n");
  }
}

}  // namespace
