// The box headers name their request numbers like the kernel's macros, so
// their values are taken before the kernel header is included.
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"

namespace boxreq {
constexpr unsigned long kStop = DMX_STOP;
constexpr unsigned long kSetFilter = DMX_SET_FILTER;
constexpr unsigned long kSetPESFilter = DMX_SET_PES_FILTER;
constexpr unsigned long kSetBufferSize = DMX_SET_BUFFERSIZE;
constexpr unsigned long kGetSTC = DMX_GET_STC;
}  // namespace boxreq

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/dvb/dmx.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"
#include "support/temp_dir.h"

namespace {

// Stands in for the C library under the translating layer: hands out the
// lowest free descriptor as the kernel does, and keeps, for every ioctl, the
// request number and a copy of the record bytes the kernel would be handed.
class RecordingIO : public DeviceIO {
 public:
  struct Call {
    std::string op;
    int fd = -1;
    std::string path;
    int flags = 0;
    unsigned long request = 0;
    uintptr_t argValue = 0;      // the argument as a number
    std::vector<uint8_t> bytes;  // the record, when the request carries one
  };

  // Reply for the clock request: what the kernel writes into its record.
  uint64_t stcReply = 0;
  unsigned int baseReply = 1;
  int ioctlResult = 0;
  int ioctlErrno = 0;
  bool failOpen = false;

  int Open(const char* path, int flags) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Call call;
    call.op = "open";
    call.path = path;
    call.flags = flags;
    calls_.push_back(call);
    if (failOpen) {
      errno = ENOENT;
      return -1;
    }
    int fd = 3;
    while (open_.count(fd)) ++fd;
    open_[fd] = path;
    return fd;
  }
  int Close(int fd) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Call call;
    call.op = "close";
    call.fd = fd;
    calls_.push_back(call);
    return open_.erase(fd) ? 0 : (errno = EBADF, -1);
  }
  ssize_t Read(int, void*, size_t) override { return 0; }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Call call;
    call.op = "ioctl";
    call.fd = fd;
    call.request = request;
    call.argValue = reinterpret_cast<uintptr_t>(arg);
    // Only the standard record requests have a record to copy; their size is
    // the one the request number announces.
    if ((request == DMX_SET_FILTER || request == DMX_SET_PES_FILTER || request == DMX_GET_STC) &&
        arg != nullptr) {
      const auto* p = static_cast<const uint8_t*>(arg);
      call.bytes.assign(p, p + _IOC_SIZE(request));
    }
    calls_.push_back(call);
    if (ioctlResult < 0) {
      errno = ioctlErrno;
      return ioctlResult;
    }
    if (request == DMX_GET_STC && arg != nullptr) {
      auto* stc = static_cast<dmx_stc*>(arg);
      stc->stc = stcReply;
      stc->base = baseReply;
    }
    return ioctlResult;
  }
  void* Mmap(void*, size_t, int, int, int, off_t) override { return MAP_FAILED; }
  int Munmap(void*, size_t) override { return 0; }

  size_t CallCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
  }
  Call Last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.empty() ? Call() : calls_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
  std::map<int, std::string> open_;
};

template <typename T>
std::vector<uint8_t> BytesOf(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(p, p + sizeof value);
}

// A layer with one demultiplexer handle open, as the daemon's scan has it.
class LinuxDvbIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd = io.Open("/dev/dvb/card0/demux0", O_RDWR);
    ASSERT_GE(fd, 0);
  }

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
      {"/dev/dvb/card0/demux0", "/dev/dvb/adapter0/demux0", true},
      {"/dev/dvb/card1/demux2", "/dev/dvb/adapter1/demux2", true},
      {"/dev/dvb/card12/demux10", "/dev/dvb/adapter12/demux10", true},
      {"/dev/dvb/card0/dvr0", "/dev/dvb/adapter0/dvr0", false},
      {"/dev/dvb/card0/frontend0", "/dev/dvb/adapter0/frontend0", false},
      {"/dev/dvb/adapter0/demux0", "/dev/dvb/adapter0/demux0", true},
      {"/dev/fb/0", "/dev/fb0", false},
      {"/dev/fb/1", "/dev/fb1", false},
      // Anything that is not exactly a box node stays as it is.
      {"/dev/fb0", "/dev/fb0", false},
      {"/dev/fb/", "/dev/fb/", false},
      {"/dev/fb/0x", "/dev/fb/0x", false},
      {"/dev/dvb/card/demux0", "/dev/dvb/card/demux0", false},
      {"/dev/dvb/cardA/demux0", "/dev/dvb/cardA/demux0", false},
      {"/dev/dvb/card0/", "/dev/dvb/card0/", false},
      {"/dev/dvb/card0", "/dev/dvb/card0", false},
      {"/dev/dvb/card0/sub/demux0", "/dev/dvb/card0/sub/demux0", false},
      {"/dev/dvb/card0/demux", "/dev/dvb/adapter0/demux", false},
      {"/dev/dvb/card0/demuxer0", "/dev/dvb/adapter0/demuxer0", false},
      {"/x/dev/dvb/card0/demux0", "/x/dev/dvb/card0/demux0", false},
      {"/tmp/ZUVA.tmp", "/tmp/ZUVA.tmp", false},
      {"", "", false},
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
    std::vector<uint8_t> filter;  // leading bytes; the rest stay 0
    std::vector<uint8_t> mask;
    uint32_t timeout;
    uint32_t boxFlags;
    uint32_t kernelFlags;
  };
  std::vector<uint8_t> ramp(16);
  std::vector<uint8_t> inverse(16);
  for (int i = 0; i < 16; ++i) {
    ramp[i] = static_cast<uint8_t>(0x10 + i);
    inverse[i] = static_cast<uint8_t>(0xF0 - i);
  }
  const Case cases[] = {
      {"PAT", 0x0000, {0x00}, {0xFF}, 5000, 7, DMX_CHECK_CRC | DMX_ONESHOT | DMX_IMMEDIATE_START},
      {"PMT", 0x0100, {0x02}, {0xFF}, 5000, 7, DMX_CHECK_CRC | DMX_ONESHOT | DMX_IMMEDIATE_START},
      {"highest PID", 0x1FFF, {0x02}, {0xFF}, 5000, 7,
       DMX_CHECK_CRC | DMX_ONESHOT | DMX_IMMEDIATE_START},
      {"all sixteen bytes", 0x1234, ramp, inverse, 0xA1B2C3D4u, 1, DMX_CHECK_CRC},
      {"one-shot only", 0x0012, {0x4E}, {0xFE}, 0, 2, DMX_ONESHOT},
      {"immediate only", 0x0011, {0x42}, {0xFF}, 1, 4, DMX_IMMEDIATE_START},
      {"no flags", 0x0010, {0x40}, {0xFF}, 100, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SectionFilterParams box;
    std::memset(&box, 0xEE, sizeof box);  // the padding must not leak through
    box.pid = c.pid;
    std::memset(box.filter, 0, sizeof box.filter);
    std::memset(box.mask, 0, sizeof box.mask);
    std::memcpy(box.filter, c.filter.data(), c.filter.size());
    std::memcpy(box.mask, c.mask.data(), c.mask.size());
    box.timeout = c.timeout;
    box.flags = c.boxFlags;
    const SectionFilterParams before = box;

    const size_t calls = inner.CallCount();
    ASSERT_EQ(io.Ioctl(fd, boxreq::kSetFilter, &box), 0);
    ASSERT_EQ(inner.CallCount(), calls + 1);

    dmx_sct_filter_params expected;
    std::memset(&expected, 0, sizeof expected);
    expected.pid = c.pid;
    std::memcpy(expected.filter.filter, c.filter.data(), c.filter.size());
    std::memcpy(expected.filter.mask, c.mask.data(), c.mask.size());
    expected.timeout = c.timeout;
    expected.flags = c.kernelFlags;

    const RecordingIO::Call call = inner.Last();
    EXPECT_EQ(call.fd, fd);
    EXPECT_EQ(call.request, static_cast<unsigned long>(DMX_SET_FILTER));
    EXPECT_EQ(call.bytes, BytesOf(expected));
    EXPECT_EQ(std::memcmp(&before, &box, sizeof box), 0) << "the daemon's record was changed";
  }
}

TEST_F(LinuxDvbIOTest, PESFilterReachesTheKernelAsTheStandardRecord) {
  struct Case {
    const char* name;
    uint16_t pid;
    uint32_t input, output, pesType, boxFlags;
    dmx_input kInput;
    dmx_output kOutput;
    dmx_ts_pes kPesType;
    uint32_t kFlags;
  };
  const Case cases[] = {
      {"subtitle tap", 0x0235, 0, 1, 5, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_OTHER,
       DMX_IMMEDIATE_START},
      {"highest PID", 0x1FFF, 0, 1, 5, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_OTHER,
       DMX_IMMEDIATE_START},
      {"from recording", 0x0020, 1, 1, 5, 0, DMX_IN_DVR, DMX_OUT_TAP, DMX_PES_OTHER, 0},
      {"to decoder", 0x0021, 0, 0, 0, 4, DMX_IN_FRONTEND, DMX_OUT_DECODER, DMX_PES_AUDIO0,
       DMX_IMMEDIATE_START},
      {"transport tap", 0x0022, 0, 2, 1, 4, DMX_IN_FRONTEND, DMX_OUT_TS_TAP, DMX_PES_VIDEO0,
       DMX_IMMEDIATE_START},
      {"teletext", 0x0023, 0, 1, 2, 5, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_TELETEXT0,
       DMX_IMMEDIATE_START | DMX_CHECK_CRC},
      {"subtitle", 0x0024, 0, 1, 3, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_SUBTITLE0,
       DMX_IMMEDIATE_START},
      {"pcr", 0x0025, 0, 1, 4, 4, DMX_IN_FRONTEND, DMX_OUT_TAP, DMX_PES_PCR0,
       DMX_IMMEDIATE_START},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PESFilterParams box;
    std::memset(&box, 0xEE, sizeof box);
    box.pid = c.pid;
    box.input = c.input;
    box.output = c.output;
    box.pesType = c.pesType;
    box.flags = c.boxFlags;

    ASSERT_EQ(io.Ioctl(fd, boxreq::kSetPESFilter, &box), 0);

    dmx_pes_filter_params expected;
    std::memset(&expected, 0, sizeof expected);
    expected.pid = c.pid;
    expected.input = c.kInput;
    expected.output = c.kOutput;
    expected.pes_type = c.kPesType;
    expected.flags = c.kFlags;

    const RecordingIO::Call call = inner.Last();
    EXPECT_EQ(call.fd, fd);
    EXPECT_EQ(call.request, static_cast<unsigned long>(DMX_SET_PES_FILTER));
    EXPECT_EQ(call.bytes, BytesOf(expected));
  }
}

TEST_F(LinuxDvbIOTest, RecordsWithoutStandardCounterpartAreRefused) {
  struct Case {
    const char* name;
    unsigned long request;
    uint32_t input, output, pesType, flags;  // PES record; flags also for sections
    int err;
  };
  const Case cases[] = {
      {"unknown input", boxreq::kSetPESFilter, 2, 1, 5, 4, EINVAL},
      {"unknown output", boxreq::kSetPESFilter, 0, 3, 5, 4, EINVAL},
      {"unknown PES type", boxreq::kSetPESFilter, 0, 1, 6, 4, EINVAL},
      {"huge PES type", boxreq::kSetPESFilter, 0, 1, 0xFFFFFFFFu, 4, EINVAL},
      {"unknown PES flag", boxreq::kSetPESFilter, 0, 1, 5, 8, EINVAL},
      {"unknown section flag", boxreq::kSetFilter, 0, 0, 0, 7 | 0x80000000u, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t calls = inner.CallCount();
    errno = 0;
    if (c.request == boxreq::kSetFilter) {
      SectionFilterParams box;
      std::memset(&box, 0, sizeof box);
      box.flags = c.flags;
      EXPECT_EQ(io.Ioctl(fd, c.request, &box), -1);
    } else {
      PESFilterParams box;
      std::memset(&box, 0, sizeof box);
      box.pid = 0x100;
      box.input = c.input;
      box.output = c.output;
      box.pesType = c.pesType;
      box.flags = c.flags;
      EXPECT_EQ(io.Ioctl(fd, c.request, &box), -1);
    }
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(inner.CallCount(), calls) << "a refused record reached the kernel";
  }
}

TEST_F(LinuxDvbIOTest, ClockIsReadThroughTheStandardRecordIn90kHzTicks) {
  struct Case {
    const char* name;
    uint64_t kernelStc;
    unsigned int kernelBase;
    uint64_t daemonStc;
  };
  const Case cases[] = {
      {"90 kHz", 1000000, 1, 1000000},
      {"33-bit maximum", 0x1FFFFFFFFull, 1, 0x1FFFFFFFFull},
      {"above 32 bits", 0x123456789ull, 1, 0x123456789ull},
      {"27 MHz with divisor", 300ull * 1450000, 300, 1450000},
      {"divisor truncates", 300ull * 7 + 299, 300, 7},
      {"no divisor given", 42, 0, 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inner.stcReply = c.kernelStc;
    inner.baseReply = c.kernelBase;
    STCRequest request;
    std::memset(&request, 0, sizeof request);
    request.num = 0;
    request.base = 1;
    request.stc = 0xDEADBEEF;
    ASSERT_EQ(io.Ioctl(fd, boxreq::kGetSTC, &request), 0);

    dmx_stc handed;
    std::memset(&handed, 0, sizeof handed);
    handed.num = 0;
    handed.base = 1;
    const RecordingIO::Call call = inner.Last();
    EXPECT_EQ(call.request, static_cast<unsigned long>(DMX_GET_STC));
    EXPECT_EQ(call.bytes, BytesOf(handed));
    EXPECT_EQ(request.num, 0u);
    EXPECT_EQ(request.base, 1u);
    EXPECT_EQ(request.stc, c.daemonStc);
  }
}

TEST_F(LinuxDvbIOTest, OtherHandlesAndRequestsPassUnchanged) {
  const int fb = io.Open("/dev/fb/0", O_RDWR);
  ASSERT_GE(fb, 0);
  fb_var_screeninfo var;
  std::memset(&var, 0, sizeof var);
  uint32_t word = 0;
  struct Case {
    const char* name;
    int fd;
    unsigned long request;
    void* arg;
  };
  const Case cases[] = {
      {"screen info on the framebuffer", fb, FBIOGET_VSCREENINFO, &var},
      {"fixed info on the framebuffer", fb, FBIOGET_FSCREENINFO, &var},
      // A box number on a handle that is no demultiplexer is not ours to rewrite.
      {"box request on the framebuffer", fb, boxreq::kSetFilter, &word},
      {"standard request on the demultiplexer", fd, DMX_START, nullptr},
      {"unknown request on the demultiplexer", fd, 0x12345678ul, &word},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(io.Ioctl(c.fd, c.request, c.arg), 0);
    const RecordingIO::Call call = inner.Last();
    EXPECT_EQ(call.fd, c.fd);
    EXPECT_EQ(call.request, c.request);
    EXPECT_EQ(call.argValue, reinterpret_cast<uintptr_t>(c.arg));
  }

  EXPECT_EQ(io.Close(fb), 0);
}

TEST_F(LinuxDvbIOTest, ReusedDescriptorIsNoLongerTranslated) {
  // The kernel hands the lowest free number to the next open: after the
  // demultiplexer is closed, the framebuffer gets the same number and must not
  // see demultiplexer requests rewritten.
  ASSERT_EQ(io.Close(fd), 0);
  const int fb = io.Open("/dev/fb/0", O_RDWR);
  ASSERT_EQ(fb, fd);
  uint32_t word = 0;
  ASSERT_EQ(io.Ioctl(fb, boxreq::kStop, &word), 0);
  EXPECT_EQ(inner.Last().request, boxreq::kStop);
  ASSERT_EQ(io.Close(fb), 0);

  const int demux = io.Open("/dev/dvb/card0/demux0", O_RDWR | O_NONBLOCK);
  ASSERT_EQ(demux, fd);
  ASSERT_EQ(io.Ioctl(demux, boxreq::kStop, nullptr), 0);
  EXPECT_EQ(inner.Last().request, static_cast<unsigned long>(DMX_STOP));
  fd = -1;
  EXPECT_EQ(io.Close(demux), 0);
  EXPECT_EQ(io.DemuxHandles(), 0u);
}

TEST(SelectDeviceIO, PicksTheStandardApiOnlyWhenTheBoxNodeIsMissing) {
  struct Case {
    const char* name;
    bool boxNode;
    bool standardNode;
    DeviceApi expected;
    const char* logLine;
  };
  const Case cases[] = {
      {"box only", true, false, DeviceApi::Box,
       "ZUVA: Device I/O: box driver on /dev/dvb/card0/demux0 and /dev/fb/0\n"},
      {"standard only", false, true, DeviceApi::StandardDvb,
       "ZUVA: Device I/O: standard Linux DVB API on /dev/dvb/adapter0/demux0 and /dev/fb0\n"},
      {"both", true, true, DeviceApi::Box,
       "ZUVA: Device I/O: box driver on /dev/dvb/card0/demux0 and /dev/fb/0\n"},
      {"neither", false, false, DeviceApi::Box,
       "ZUVA: Device I/O: box driver on /dev/dvb/card0/demux0 and /dev/fb/0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    const Paths paths;
    auto make = [&](const std::string& node) {
      const std::string full = root.Path() + node;
      for (size_t slash = full.find('/', root.Path().size() + 1); slash != std::string::npos;
           slash = full.find('/', slash + 1)) {
        mkdir(full.substr(0, slash).c_str(), 0755);
      }
      const int f = open(full.c_str(), O_CREAT | O_WRONLY, 0644);
      ASSERT_GE(f, 0) << full;
      close(f);
    };
    if (c.boxNode) make(paths.demux);
    if (c.standardNode) make("/dev/dvb/adapter0/demux0");

    EXPECT_EQ(DetectDeviceApi(paths, root.Path()), c.expected);
    RecordingIO box;
    RecordingIO inner;
    LinuxDvbIO standard(&inner);
    LogCapture capture;
    DeviceIO* chosen = SelectDeviceIO(paths, &box, &standard, root.Path());
    EXPECT_EQ(chosen, c.expected == DeviceApi::Box ? static_cast<DeviceIO*>(&box)
                                                   : static_cast<DeviceIO*>(&standard));
    EXPECT_EQ(capture.Text(), c.logLine);
  }
}

TEST(LinuxDvbIOOpen, FailedOpenIsReportedAndNotTracked) {
  RecordingIO inner;
  inner.failOpen = true;
  LinuxDvbIO io(&inner);
  errno = 0;
  EXPECT_EQ(io.Open("/dev/dvb/card0/demux0", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(io.DemuxHandles(), 0u);
  EXPECT_EQ(io.Open(nullptr, O_RDWR), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST_F(LinuxDvbIOTest, FailedClockReadLeavesTheRecordAndReportsTheError) {
  inner.ioctlResult = -1;
  inner.ioctlErrno = EINVAL;
  STCRequest request{0, 1, 0x1122334455667788ull};
  errno = 0;
  EXPECT_EQ(io.Ioctl(fd, boxreq::kGetSTC, &request), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(request.stc, 0x1122334455667788ull);
  EXPECT_EQ(request.base, 1u);
}

TEST_F(LinuxDvbIOTest, RecordRequestsWithoutRecordFailBeforeTheKernel) {
  for (unsigned long request : {boxreq::kSetFilter, boxreq::kSetPESFilter, boxreq::kGetSTC}) {
    SCOPED_TRACE(request);
    const size_t calls = inner.CallCount();
    errno = 0;
    EXPECT_EQ(io.Ioctl(fd, request, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(inner.CallCount(), calls);
  }
}

}  // namespace
