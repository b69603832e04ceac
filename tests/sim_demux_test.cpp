#include "sim/sim_demux.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

#include "sim/section_assembler.h"
#include "sim/sim_device_io.h"
#include "sim/ts_recording.h"
#include "platform/clock.h"
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"
#include "tsgen/pes.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/ts.h"

namespace {

using tsgen::Bytes;
constexpr char kDemux[] = "/sim/demux0";

std::vector<Bytes> SplitPackets(const Bytes& stream) {
  std::vector<Bytes> out;
  for (size_t pos = 0; pos + 188 <= stream.size(); pos += 188) {
    out.emplace_back(stream.begin() + static_cast<long>(pos),
                     stream.begin() + static_cast<long>(pos + 188));
  }
  return out;
}

Bytes Section(uint8_t table, uint16_t ext, size_t body, uint8_t fill = 0x11) {
  return tsgen::BuildSection(table, ext, 0, Bytes(body, fill));
}

Bytes Join(const std::vector<Bytes>& packets) {
  Bytes out;
  for (const Bytes& p : packets) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes NullPacket() {
  Bytes p(188, 0xFF);
  p[0] = 0x47;
  p[1] = 0x1F;
  p[2] = 0xFF;
  p[3] = 0x10;
  return p;
}

TEST(SectionAssembler, RebuildsSectionsFromPackets) {
  using Mutate = std::function<void(std::vector<Bytes>&)>;
  struct Row {
    const char* name;
    std::vector<Bytes> sections;
    Mutate mutate;
    std::vector<int> expected;  // indices of the sections delivered, in order
  };
  const Mutate none = [](std::vector<Bytes>&) {};
  const std::vector<Row> rows = {
      {"one small section", {Section(0x42, 1, 10)}, none, {0}},
      {"one section over three packets", {Section(0x42, 1, 400)}, none, {0}},
      {"three sections in one packet",
       {Section(0x42, 1, 10), Section(0x42, 2, 20), Section(0x42, 3, 30)}, none, {0, 1, 2}},
      {"pointer field to a section starting mid-packet",
       {Section(0x42, 1, 300), Section(0x42, 2, 20)}, none, {0, 1}},
      {"next section would start on the last byte",
       {Section(0x42, 1, 183 - 12), Section(0x42, 2, 20)}, none, {0, 1}},
      {"continuity error drops the broken section",
       {Section(0x42, 1, 400), Section(0x42, 2, 20)},
       [](std::vector<Bytes>& p) { p.erase(p.begin() + 1); }, {1}},
      {"repeated packet is ignored", {Section(0x42, 1, 400), Section(0x42, 2, 20)},
       [](std::vector<Bytes>& p) { p.insert(p.begin() + 1, p[1]); }, {0, 1}},
      {"transport error drops the section", {Section(0x42, 1, 400), Section(0x42, 2, 20)},
       [](std::vector<Bytes>& p) { p[1][1] |= 0x80; }, {1}},
      {"pointer past the payload", {Section(0x42, 1, 10)},
       [](std::vector<Bytes>& p) { p[0][4] = 190; }, {}},
      {"lost first packet: nothing until the next unit start",
       {Section(0x42, 1, 400), Section(0x42, 2, 400)},
       [](std::vector<Bytes>& p) { p.erase(p.begin()); }, {1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint8_t cc = 0;
    std::vector<Bytes> packets = SplitPackets(tsgen::PacketizeSections(0x100, row.sections, cc));
    row.mutate(packets);
    SectionAssembler assembler;
    std::vector<Bytes> got;
    for (const Bytes& p : packets) {
      assembler.Push(p.data(), [&](const uint8_t* s, size_t n) { got.emplace_back(s, s + n); });
    }
    ASSERT_EQ(row.expected.size(), got.size());
    for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(row.sections[row.expected[k]], got[k]) << k;
  }
}

// A simulated demultiplexer on a virtual clock, served at kDemux.
struct DemuxRig {
  explicit DemuxRig(const Bytes& recording, SimDemuxOptions options = SimDemuxOptions())
      : demux(&clock, options) {
    std::string error;
    EXPECT_TRUE(demux.LoadBytes(recording, &error)) << error;
    io.Attach(kDemux, &demux);
  }

  int OpenSection(uint16_t pid, std::vector<uint8_t> filter, std::vector<uint8_t> mask,
                  uint32_t flags, uint32_t timeout, bool nonBlocking = false) {
    const int fd = io.Open(kDemux, O_RDWR | (nonBlocking ? O_NONBLOCK : 0));
    EXPECT_GE(fd, 0);
    SectionFilterParams p{};
    p.pid = pid;
    for (size_t k = 0; k < filter.size(); ++k) p.filter[k] = filter[k];
    for (size_t k = 0; k < mask.size(); ++k) p.mask[k] = mask[k];
    p.timeout = timeout;
    p.flags = flags;
    EXPECT_EQ(0, io.Ioctl(fd, DMX_SET_FILTER, &p));
    return fd;
  }

  int OpenPES(uint16_t pid, size_t bufferSize = 0) {
    const int fd = io.Open(kDemux, O_RDWR | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    if (bufferSize) {
      EXPECT_EQ(0, io.Ioctl(fd, DMX_SET_BUFFERSIZE, reinterpret_cast<void*>(bufferSize)));
    }
    PESFilterParams p{};
    p.pid = pid;
    p.output = 1;
    p.pesType = 5;
    p.flags = 4;
    EXPECT_EQ(0, io.Ioctl(fd, DMX_SET_PES_FILTER, &p));
    return fd;
  }

  VirtualClock clock;
  SimDemux demux;
  SimDeviceIO io;
};

// Tables 42/1, 42/2, 46/1 and a 4E/3 with a broken CRC, every 100 ms on PID
// 0x100, for two seconds.
Bytes TableRecording() {
  tsgen::RecordingBuilder b;
  b.AddTable(0x100, Section(0x42, 1, 10));
  b.AddTable(0x100, Section(0x42, 2, 10));
  b.AddTable(0x100, Section(0x46, 1, 10));
  Bytes broken = Section(0x4E, 3, 10);
  broken.back() ^= 0x01;
  b.AddTable(0x100, broken);
  b.EnablePCR(0x1FF0);
  b.SetStartTime(0);
  b.SetEndTime(2 * 90000);
  return b.Build();
}

TEST(SimDemux, SectionFilterMatchesMaskedBytesAndChecksCRC) {
  struct Row {
    const char* name;
    std::vector<uint8_t> filter;
    std::vector<uint8_t> mask;
    uint32_t flags;
    std::vector<std::pair<int, int>> expected;  // table, extension of the first reads
  };
  const std::vector<Row> rows = {
      {"table ID", {0x42}, {0xFF}, 5, {{0x42, 1}, {0x42, 2}, {0x42, 1}}},
      {"table ID and extension from the fourth byte on",
       {0x42, 0x00, 0x02},
       {0xFF, 0xFF, 0xFF},
       5,
       {{0x42, 2}, {0x42, 2}}},
      {"partial mask on the table ID", {0x40}, {0xF0}, 5, {{0x42, 1}, {0x42, 2}, {0x46, 1},
                                                           {0x42, 1}}},
      {"CRC checked", {}, {}, 5, {{0x42, 1}, {0x42, 2}, {0x46, 1}, {0x42, 1}}},
      {"CRC not checked", {}, {}, 4, {{0x42, 1}, {0x42, 2}, {0x46, 1}, {0x4E, 3}, {0x42, 1}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DemuxRig rig(TableRecording());
    const int fd = rig.OpenSection(0x100, row.filter, row.mask, row.flags, 5000);
    for (const auto& want : row.expected) {
      uint8_t buf[1024];
      const ssize_t n = rig.io.Read(fd, buf, sizeof buf);
      ASSERT_EQ(22, n);
      EXPECT_EQ(want.first, buf[0]);
      EXPECT_EQ(want.second, (buf[3] << 8) | buf[4]);
    }
    EXPECT_EQ(0, rig.io.Close(fd));
  }
}

// Counts sleeps, so a test can tell waiting from spinning.
class CountingClock : public Clock {
 public:
  void Sleep(uint32_t micros) override {
    ++sleeps;
    largest = std::max(largest, micros);
    inner.Sleep(micros);
  }
  int64_t NowMicros() override { return inner.NowMicros(); }
  VirtualClock inner;
  int sleeps = 0;
  uint32_t largest = 0;
};

// Teletext-like PES packets of `size` bytes every 40 ms on PID 0x200, time
// stamped from `firstPts`, without PCR, plus a PAT every 100 ms.
struct PESRecording {
  Bytes ts;
  std::vector<Bytes> pes;
};
PESRecording MakePESRecording(int64_t firstPts, size_t size, int count) {
  PESRecording r;
  tsgen::RecordingBuilder b;
  b.AddTable(0, tsgen::BuildPAT(1, {{1, 0x100}}));
  for (int k = 0; k < count; ++k) {
    Bytes payload(size - 45, static_cast<uint8_t>(k));
    payload[0] = 0x10;
    Bytes pes = tsgen::BuildPES(0xBD, firstPts + k * 3600, payload, 0x24);
    r.pes.push_back(pes);
    b.AddPES(0x200, firstPts + k * 3600, pes);
  }
  r.ts = b.Build();
  return r;
}

TEST(SimDemux, RejectsBadRequests) {
  DemuxRig rig(TableRecording());
  const int fd = rig.io.Open(kDemux, O_RDWR | O_NONBLOCK);
  uint8_t buf[16];
  struct Row {
    const char* name;
    std::function<int()> call;
    int err;
  };
  PESFilterParams decoderOutput{};
  decoderOutput.pid = 0x200;
  decoderOutput.output = 0;
  SectionFilterParams badPid{};
  badPid.pid = 0x2000;
  const std::vector<Row> rows = {
      {"read without a filter", [&] { return static_cast<int>(rig.io.Read(fd, buf, 16)); }, EINVAL},
      {"unknown request", [&] { return rig.io.Ioctl(fd, 0x12345678, nullptr); }, ENOTTY},
      {"no record", [&] { return rig.io.Ioctl(fd, DMX_GET_STC, nullptr); }, EFAULT},
      {"PID out of range", [&] { return rig.io.Ioctl(fd, DMX_SET_FILTER, &badPid); }, EINVAL},
      {"PES output other than tap",
       [&] { return rig.io.Ioctl(fd, DMX_SET_PES_FILTER, &decoderOutput); }, EINVAL},
      {"buffer size 0", [&] { return rig.io.Ioctl(fd, DMX_SET_BUFFERSIZE, nullptr); }, EINVAL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    errno = 0;
    EXPECT_EQ(-1, row.call());
    EXPECT_EQ(row.err, errno);
  }
  rig.io.Close(fd);
  SimDemux empty(&rig.clock);
  SimDeviceIO io;
  io.Attach(kDemux, &empty);
  EXPECT_EQ(-1, io.Open(kDemux, O_RDWR));
}

// The broadcast sample has no PCR: its PES packets must still come whole, in
// order, and about half a second ahead of their PTS.

// The daemon's main thread scans sections while the PES reader thread reads
// the stream and the STC on another handle of the same device.
TEST(SimDemux, HandlesServeTwoThreadsAtOnce) {
  const PESRecording rec = MakePESRecording(1000000, 368, 75);  // three seconds
  ScaledClock clock(20.0);
  SimDemux demux(&clock);
  std::string error;
  ASSERT_TRUE(demux.LoadBytes(rec.ts, &error));
  SimDeviceIO io;
  io.Attach(kDemux, &demux);

  std::atomic<bool> stop{false};
  std::atomic<int64_t> pesBytes{0};
  std::atomic<bool> stcMonotonic{true};
  std::thread reader([&] {
    const int fd = io.Open(kDemux, O_RDWR | O_NONBLOCK);
    io.Ioctl(fd, DMX_SET_BUFFERSIZE, reinterpret_cast<void*>(size_t{65536}));
    PESFilterParams p{};
    p.pid = 0x200;
    p.output = 1;
    p.flags = 4;
    io.Ioctl(fd, DMX_SET_PES_FILTER, &p);
    uint64_t last = 0;
    uint8_t buf[16384];
    while (!stop.load()) {
      STCRequest stc{0, 1, 0};
      io.Ioctl(fd, DMX_GET_STC, &stc);
      if (stc.stc < last) stcMonotonic = false;
      last = stc.stc;
      const ssize_t n = io.Read(fd, buf, sizeof buf);
      if (n > 0) pesBytes += n;
      else clock.Sleep(10000);
    }
    io.Ioctl(fd, DMX_STOP, nullptr);
    io.Close(fd);
  });

  int sections = 0;
  for (int round = 0; round < 5; ++round) {
    const int fd = io.Open(kDemux, O_RDWR);
    SectionFilterParams p{};
    p.pid = 0;
    p.mask[0] = 0xFF;
    p.timeout = 5000;
    p.flags = 7;
    io.Ioctl(fd, DMX_SET_FILTER, &p);
    uint8_t buf[1024];
    if (io.Read(fd, buf, sizeof buf) > 0) ++sections;
    io.Ioctl(fd, DMX_STOP, nullptr);
    io.Close(fd);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(5, sections);
  EXPECT_GT(pesBytes.load(), 0);
  EXPECT_TRUE(stcMonotonic.load());
  EXPECT_EQ(0, io.OpenHandles());
}

TEST(TSRecording, FindsPacketsAmongGarbage) {
  struct Row {
    const char* name;
    Bytes bytes;
    bool ok;
    size_t packets;
  };
  const Bytes three = Join({NullPacket(), NullPacket(), NullPacket()});
  Bytes prefixed = {0x47, 0x00, 0x12, 0x47};
  prefixed.insert(prefixed.end(), three.begin(), three.end());
  Bytes tail = three;
  tail.insert(tail.end(), {0x47, 0x01, 0x02});
  Bytes gap = three;
  gap.insert(gap.begin() + 188, {0x00, 0x47, 0x13});
  const std::vector<Row> rows = {
      {"clean", three, true, 3},
      {"garbage before", prefixed, true, 3},
      {"partial packet at the end", tail, true, 3},
      // A packet followed by garbage cannot be told from garbage itself.
      {"garbage between packets costs the packet before", gap, true, 2},
      {"empty", {}, false, 0},
      {"no sync byte", Bytes(1000, 0x00), false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TSRecording rec;
    std::string error;
    EXPECT_EQ(row.ok, rec.LoadBytes(row.bytes, &error));
    EXPECT_EQ(row.packets, rec.PacketCount());
    if (!row.ok) {
      EXPECT_FALSE(error.empty());
    }
  }
}

}  // namespace
