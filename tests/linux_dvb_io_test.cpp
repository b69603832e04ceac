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
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Stands in for the C library under the translating layer: hands out the
// lowest free descriptor as the kernel does, and keeps, for every ioctl, the
// request number and a copy of the record bytes the kernel would be handed.
class RecordingIO : public DeviceIO {
 public:
  struct Call {
    int fd;
    unsigned long request;
    void* arg;
    Bytes bytes;  // the record, when the request carries one
  };

  int Open(const char* path, int) override {
    paths.push_back(path);
    if (failOpen) return errno = ENOENT, -1;
    int fd = 3;
    while (open_.count(fd)) ++fd;
    open_.insert(fd);
    return fd;
  }
  int Close(int fd) override { return open_.erase(fd) ? 0 : (errno = EBADF, -1); }
  ssize_t Read(int, void*, size_t) override { return 0; }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    calls.push_back({fd, request, arg, {}});
    // Only the standard record requests have a record, of the size their
    // request number announces.
    if ((request == DMX_SET_FILTER || request == DMX_SET_PES_FILTER || request == DMX_GET_STC) &&
        arg != nullptr) {
      calls.back().bytes.assign(static_cast<uint8_t*>(arg),
                                static_cast<uint8_t*>(arg) + _IOC_SIZE(request));
    }
    if (ioctlErrno != 0) return errno = ioctlErrno, -1;
    if (request == DMX_GET_STC) *static_cast<dmx_stc*>(arg) = stcReply;
    return 0;
  }
  void* Mmap(void*, size_t, int, int, int, off_t) override { return MAP_FAILED; }
  int Munmap(void*, size_t) override { return 0; }

  dmx_stc stcReply{};
  int ioctlErrno = 0;
  bool failOpen = false;
  std::vector<std::string> paths;
  std::vector<Call> calls;

 private:
  std::set<int> open_;
};

template <typename T>
Bytes BytesOf(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(p, p + sizeof value);
}

// A layer with one demultiplexer handle open, as the daemon's scan has it.
class LinuxDvbIOTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(fd = io.Open("/dev/dvb/card0/demux0", O_RDWR), 0); }

  RecordingIO inner;
  LinuxDvbIO io{&inner};
  int fd = -1;
};

TEST(LinuxDvbIOPaths, MapsBoxNodesToStandardNodes) {
  struct Case {
    const char* path;
    const char* mapped;
    bool demux;
  };
  const Case cases[] = {
      {"/dev/dvb/card12/demux10", "/dev/dvb/adapter12/demux10", true},
      {"/dev/dvb/card0/dvr0", "/dev/dvb/adapter0/dvr0", false},
      {"/dev/dvb/adapter0/demux0", "/dev/dvb/adapter0/demux0", true},
      {"/dev/fb/1", "/dev/fb1", false},
      // Anything that is not exactly a box node stays as it is.
      {"/dev/fb0", "/dev/fb0", false},
      {"/dev/fb/", "/dev/fb/", false},
      {"/dev/dvb/cardA/demux0", "/dev/dvb/cardA/demux0", false},
      {"/dev/dvb/card0", "/dev/dvb/card0", false},
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

TEST_F(LinuxDvbIOTest, SectionFilterReachesTheKernelAsTheStandardRecord) {
  struct Case {
    const char* name;
    uint16_t pid;
    Bytes filter;  // leading bytes; the rest stay 0
    Bytes mask;
    uint32_t timeout, boxFlags, kernelFlags;
  };
  Bytes ramp(16);
  std::iota(ramp.begin(), ramp.end(), 0x10);
  const Bytes inverse(ramp.rbegin(), ramp.rend());
  const uint32_t all = DMX_CHECK_CRC | DMX_ONESHOT | DMX_IMMEDIATE_START;
  const Case cases[] = {
      {"PAT", 0x0000, {0x00}, {0xFF}, 5000, 7, all},
      {"all sixteen bytes", 0x1234, ramp, inverse, 0xA1B2C3D4u, 1, DMX_CHECK_CRC},
      {"one-shot only", 0x0012, {0x4E}, {0xFE}, 0, 2, DMX_ONESHOT},
      {"immediate only", 0x0011, {0x42}, {0xFF}, 1, 4, DMX_IMMEDIATE_START},
      {"no flags", 0x0010, {0x40}, {0xFF}, 100, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The padding must not leak through.
    SectionFilterParams box{c.pid, {}, {}, {0xEE, 0xEE}, c.timeout, c.boxFlags};
    std::memcpy(box.filter, c.filter.data(), c.filter.size());
    std::memcpy(box.mask, c.mask.data(), c.mask.size());
    const Bytes before = BytesOf(box);
    inner.calls.clear();
    ASSERT_EQ(io.Ioctl(fd, boxreq::kSetFilter, &box), 0);
    ASSERT_EQ(inner.calls.size(), 1u);

    dmx_sct_filter_params expected;
    std::memset(&expected, 0, sizeof expected);
    expected.pid = c.pid;
    std::memcpy(expected.filter.filter, c.filter.data(), c.filter.size());
    std::memcpy(expected.filter.mask, c.mask.data(), c.mask.size());
    expected.timeout = c.timeout;
    expected.flags = c.kernelFlags;
    EXPECT_EQ(inner.calls.back().fd, fd);
    EXPECT_EQ(inner.calls.back().request, static_cast<unsigned long>(DMX_SET_FILTER));
    EXPECT_EQ(inner.calls.back().bytes, BytesOf(expected));
    EXPECT_EQ(before, BytesOf(box)) << "the daemon's record was changed";
  }
}

TEST_F(LinuxDvbIOTest, PESFilterReachesTheKernelAsTheStandardRecord) {
  struct Case {
    uint32_t input, output, pesType, boxFlags;
    dmx_input kInput;
    dmx_output kOutput;
    dmx_ts_pes kPesType;
    uint32_t kFlags;
  };
  const Case cases[] = {
      {0, 1, 5, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_OTHER, DMX_IMMEDIATE_START},
      {1, 1, 5, 0, DMX_IN_DVR, DMX_OUT_TAP, DMX_PES_OTHER, 0},
      {0, 0, 0, 4, DMX_IN_FRONTEND, DMX_OUT_DECODER, DMX_PES_AUDIO0, DMX_IMMEDIATE_START},
      {0, 2, 1, 4, DMX_IN_FRONTEND, DMX_OUT_TS_TAP, DMX_PES_VIDEO0, DMX_IMMEDIATE_START},
      {0, 1, 2, 5, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_TELETEXT0,
       DMX_IMMEDIATE_START | DMX_CHECK_CRC},
      {0, 1, 3, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_SUBTITLE0, DMX_IMMEDIATE_START},
      {0, 1, 4, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_PCR0, DMX_IMMEDIATE_START},
  };
  uint16_t pid = 0x1FFF;
  for (const Case& c : cases) {
    SCOPED_TRACE(pid);
    PESFilterParams box{pid, {0xEE, 0xEE}, c.input, c.output, c.pesType, c.boxFlags};
    ASSERT_EQ(io.Ioctl(fd, boxreq::kSetPESFilter, &box), 0);

    dmx_pes_filter_params expected;
    std::memset(&expected, 0, sizeof expected);
    expected.pid = pid--;
    expected.input = c.kInput;
    expected.output = c.kOutput;
    expected.pes_type = c.kPesType;
    expected.flags = c.kFlags;
    EXPECT_EQ(inner.calls.back().fd, fd);
    EXPECT_EQ(inner.calls.back().request, static_cast<unsigned long>(DMX_SET_PES_FILTER));
    EXPECT_EQ(inner.calls.back().bytes, BytesOf(expected));
  }
}

// Missing records and values without a standard counterpart fail before the
// kernel sees anything.
TEST_F(LinuxDvbIOTest, RecordsWithoutStandardCounterpartAreRefused) {
  // pid, padding, input, output, PES type, flags
  PESFilterParams badPes[] = {{0x100, {}, 2, 1, 5, 4},
                              {0x100, {}, 0, 3, 5, 4},
                              {0x100, {}, 0, 1, 6, 4},
                              {0x100, {}, 0, 1, 0xFFFFFFFFu, 4},
                              {0x100, {}, 0, 1, 5, 8}};
  SectionFilterParams badSection{};
  badSection.flags = 7 | 0x80000000u;
  struct Case {
    unsigned long request;
    void* record;
    int err;
  };
  std::vector<Case> cases = {{boxreq::kSetFilter, &badSection, EINVAL},
                             {boxreq::kSetFilter, nullptr, EFAULT},
                             {boxreq::kSetPESFilter, nullptr, EFAULT},
                             {boxreq::kGetSTC, nullptr, EFAULT}};
  for (PESFilterParams& p : badPes) cases.push_back({boxreq::kSetPESFilter, &p, EINVAL});
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    errno = 0;
    EXPECT_EQ(io.Ioctl(fd, cases[i].request, cases[i].record), -1);
    EXPECT_EQ(errno, cases[i].err);
    EXPECT_TRUE(inner.calls.empty()) << "a refused record reached the kernel";
  }
}

TEST_F(LinuxDvbIOTest, ClockIsReadThroughTheStandardRecordIn90kHzTicks) {
  struct Case {
    uint64_t kernelStc;
    unsigned int kernelBase;
    uint64_t daemonStc;
  };
  const Case cases[] = {
      {0x1FFFFFFFFull, 1, 0x1FFFFFFFFull},
      {300ull * 1450000, 300, 1450000},  // 27 MHz with its divisor
      {300ull * 7 + 299, 300, 7},
      {42, 0, 42},  // no divisor given
  };
  dmx_stc handed{};
  handed.base = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kernelStc);
    inner.stcReply.stc = c.kernelStc;
    inner.stcReply.base = c.kernelBase;
    STCRequest request{0, 1, 0xDEADBEEF};
    ASSERT_EQ(io.Ioctl(fd, boxreq::kGetSTC, &request), 0);
    EXPECT_EQ(inner.calls.back().request, static_cast<unsigned long>(DMX_GET_STC));
    EXPECT_EQ(inner.calls.back().bytes, BytesOf(handed));
    EXPECT_EQ(request.stc, c.daemonStc);
  }

  inner.ioctlErrno = EINVAL;
  STCRequest request{0, 1, 0x1122334455667788ull};
  EXPECT_EQ(io.Ioctl(fd, boxreq::kGetSTC, &request), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(request.stc, 0x1122334455667788ull) << "a failed read changed the record";
}

TEST_F(LinuxDvbIOTest, OtherHandlesAndRequestsPassUnchanged) {
  const int fb = io.Open("/dev/fb/0", O_RDWR);
  ASSERT_GE(fb, 0);
  EXPECT_EQ(inner.paths.back(), "/dev/fb0");
  fb_var_screeninfo var{};
  uint32_t word = 0;
  struct Case {
    int fd;
    unsigned long request;
    void* arg;
  };
  const Case cases[] = {
      {fb, FBIOGET_VSCREENINFO, &var},
      // A box number on a handle that is no demultiplexer is not ours to rewrite.
      {fb, boxreq::kSetFilter, &word},
      {fd, DMX_START, nullptr},
      {fd, 0x12345678ul, &word},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    ASSERT_EQ(io.Ioctl(c.fd, c.request, c.arg), 0);
    EXPECT_EQ(inner.calls.back().fd, c.fd);
    EXPECT_EQ(inner.calls.back().request, c.request);
    EXPECT_EQ(inner.calls.back().arg, c.arg);
  }

  // The size travels as the argument itself on both.
  ASSERT_EQ(io.Ioctl(fd, boxreq::kSetBufferSize, reinterpret_cast<void*>(65536)), 0);
  EXPECT_EQ(inner.calls.back().request, static_cast<unsigned long>(DMX_SET_BUFFER_SIZE));
  EXPECT_EQ(inner.calls.back().arg, reinterpret_cast<void*>(65536));
  EXPECT_EQ(io.Read(fd, &word, sizeof word), 0);
  EXPECT_EQ(io.Mmap(nullptr, 4, PROT_READ, MAP_SHARED, fb, 0), MAP_FAILED);
  EXPECT_EQ(io.Munmap(&word, sizeof word), 0);

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
    RecordingIO box;
    RecordingIO standard;
    LogCapture capture;
    EXPECT_EQ(SelectDeviceIO(paths, &box, &standard, root.Path()), standardApi ? &standard : &box);
    EXPECT_EQ(capture.Text(), standardApi ? "ZUVA: Device I/O: standard Linux DVB API on " +
                                                standardNode + " and /dev/fb0\n"
                                          : "ZUVA: Device I/O: box driver on " + paths.demux +
                                                " and /dev/fb/0\n");
  }
}

}  // namespace
