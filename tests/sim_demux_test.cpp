#include "sim/sim_demux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <functional>
#include <vector>

#include "platform/clock.h"
#include "sim/section_assembler.h"
#include "sim/sim_device_io.h"
#include "sim/ts_recording.h"
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/ts.h"

namespace {

using tsgen::Bytes;
constexpr char kDemux[] = "/sim/demux0";

Bytes Section(uint8_t table, uint16_t ext, size_t body) {
  return tsgen::BuildSection(table, ext, 0, Bytes(body, 0x11));
}

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

SectionFilterParams SectionFilter(uint16_t pid, const Bytes& filter, const Bytes& mask,
                                  uint32_t flags) {
  SectionFilterParams p{};
  p.pid = pid;
  std::copy(filter.begin(), filter.end(), p.filter);
  std::copy(mask.begin(), mask.end(), p.mask);
  p.timeout = 5000;
  p.flags = flags;
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
  const Bytes big1 = Section(0x42, 1, 400);
  const Bytes small2 = Section(0x42, 2, 20);
  const std::vector<Row> rows = {
      {"one small section", {Section(0x42, 1, 10)}, none, {0}},
      {"one section over three packets", {big1}, none, {0}},
      {"three sections in one packet",
       {Section(0x42, 1, 10), Section(0x42, 2, 20), Section(0x42, 3, 30)}, none, {0, 1, 2}},
      {"pointer field to a section starting mid-packet", {Section(0x42, 1, 300), small2}, none,
       {0, 1}},
      {"next section would start on the last byte", {Section(0x42, 1, 183 - 12), small2}, none,
       {0, 1}},
      {"continuity error drops the broken section", {big1, small2},
       [](std::vector<Bytes>& p) { p.erase(p.begin() + 1); }, {1}},
      {"repeated packet is ignored", {big1, small2},
       [](std::vector<Bytes>& p) { p.insert(p.begin() + 1, p[1]); }, {0, 1}},
      {"transport error drops the section", {big1, small2},
       [](std::vector<Bytes>& p) { p[1][1] |= 0x80; }, {1}},
      {"pointer past the payload", {Section(0x42, 1, 10)},
       [](std::vector<Bytes>& p) { p[0][4] = 190; }, {}},
      {"lost first packet: nothing until the next unit start", {big1, Section(0x42, 2, 400)},
       [](std::vector<Bytes>& p) { p.erase(p.begin()); }, {1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint8_t cc = 0;
    const Bytes stream = tsgen::PacketizeSections(0x100, row.sections, cc);
    std::vector<Bytes> packets;
    for (size_t pos = 0; pos + 188 <= stream.size(); pos += 188) {
      packets.emplace_back(stream.begin() + static_cast<long>(pos),
                           stream.begin() + static_cast<long>(pos + 188));
    }
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

// A simulated demultiplexer on a virtual clock, served at kDemux, with
// tables 42/1, 42/2, 46/1 and a 4E/3 with a broken CRC every 100 ms on PID
// 0x100 for two seconds.
struct DemuxRig {
  DemuxRig() {
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
    std::string error;
    EXPECT_TRUE(demux.LoadBytes(b.Build(), &error)) << error;
    io.Attach(kDemux, &demux);
  }

  VirtualClock clock;
  SimDemux demux{&clock};
  SimDeviceIO io;
};

TEST(SimDemux, SectionFilterMatchesMaskedBytesAndChecksCRC) {
  struct Row {
    const char* name;
    Bytes filter;
    Bytes mask;
    uint32_t flags;
    std::vector<std::pair<int, int>> expected;  // table, extension of the first reads
  };
  const std::vector<Row> rows = {
      {"table ID", {0x42}, {0xFF}, 5, {{0x42, 1}, {0x42, 2}, {0x42, 1}}},
      {"table ID and extension from the fourth byte on", {0x42, 0x00, 0x02}, {0xFF, 0xFF, 0xFF},
       5, {{0x42, 2}, {0x42, 2}}},
      {"partial mask on the table ID", {0x40}, {0xF0}, 5,
       {{0x42, 1}, {0x42, 2}, {0x46, 1}, {0x42, 1}}},
      {"CRC checked", {}, {}, 5, {{0x42, 1}, {0x42, 2}, {0x46, 1}, {0x42, 1}}},
      {"CRC not checked", {}, {}, 4, {{0x42, 1}, {0x42, 2}, {0x46, 1}, {0x4E, 3}, {0x42, 1}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DemuxRig rig;
    const int fd = rig.io.Open(kDemux, O_RDWR);
    SectionFilterParams p = SectionFilter(0x100, row.filter, row.mask, row.flags);
    ASSERT_EQ(0, rig.io.Ioctl(fd, DMX_SET_FILTER, &p));
    for (const auto& want : row.expected) {
      uint8_t buf[1024];
      ASSERT_EQ(22, rig.io.Read(fd, buf, sizeof buf));
      EXPECT_EQ(want.first, buf[0]);
      EXPECT_EQ(want.second, (buf[3] << 8) | buf[4]);
    }
    EXPECT_EQ(0, rig.io.Close(fd));
  }
}

TEST(SimDemux, RejectsBadRequests) {
  DemuxRig rig;
  const int fd = rig.io.Open(kDemux, O_RDWR | O_NONBLOCK);
  uint8_t buf[16];
  PESFilterParams decoderOutput{};
  decoderOutput.pid = 0x200;
  SectionFilterParams badPid{};
  badPid.pid = 0x2000;
  auto mmap = [&](int at) { return rig.io.Mmap(nullptr, 16, PROT_READ, MAP_SHARED, at, 0); };
  std::vector<std::pair<std::function<int()>, int>> rows = {
      {[&] { return static_cast<int>(rig.io.Read(fd, buf, 16)); }, EINVAL},  // no filter yet
      {[&] { return rig.io.Ioctl(fd, 0x12345678, nullptr); }, ENOTTY},
      {[&] { return rig.io.Ioctl(fd, DMX_GET_STC, nullptr); }, EFAULT},
      {[&] { return rig.io.Ioctl(fd, DMX_SET_FILTER, &badPid); }, EINVAL},
      {[&] { return rig.io.Ioctl(fd, DMX_SET_PES_FILTER, &decoderOutput); }, EINVAL},
      {[&] { return rig.io.Ioctl(fd, DMX_SET_BUFFERSIZE, nullptr); }, EINVAL},
      {[&] { return rig.io.Ioctl(fd, DMX_SET_BUFFERSIZE, reinterpret_cast<void*>(1ul << 40)); },
       EINVAL},
      {[&] { return static_cast<int>(rig.io.Read(fd, nullptr, 16)); }, EFAULT},
      {[&] { return rig.io.Ioctl(fd, DMX_SET_FILTER, nullptr); }, EFAULT},
      {[&] { return rig.io.Ioctl(fd, DMX_SET_PES_FILTER, nullptr); }, EFAULT},
      {[&] { return mmap(fd) == MAP_FAILED ? -1 : 0; }, ENODEV},
      {[&] { return rig.io.Munmap(buf, 16); }, EINVAL},  // not a mapping of ours
      {[&] { return rig.io.Open("/nonexistent/zuva-sim", O_RDONLY); }, ENOENT},
  };
  // A number no simulated handle has, and one the C library refuses.
  for (const int bad : {-1, fd + 100}) {
    rows.push_back({[&, bad] { return static_cast<int>(rig.io.Read(bad, buf, 16)); }, EBADF});
    rows.push_back({[&, bad] { return rig.io.Ioctl(bad, DMX_STOP, nullptr); }, EBADF});
    rows.push_back({[&, bad] { return mmap(bad) == MAP_FAILED ? -1 : 0; }, EBADF});
    rows.push_back({[&, bad] { return rig.io.Close(bad); }, EBADF});
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    errno = 0;
    EXPECT_EQ(-1, rows[i].first());
    EXPECT_EQ(rows[i].second, errno);
  }
  rig.io.Close(fd);
  SimDemux empty(&rig.clock);
  SimDeviceIO io;
  io.Attach(kDemux, &empty);
  EXPECT_EQ(-1, io.Open(kDemux, O_RDWR));
}

TEST(TSRecording, FindsPacketsAmongGarbage) {
  const Bytes null = tsgen::PCRPacket(0x1FFF, 0, 0);
  const Bytes three = Join({null, null, null});
  Bytes gap = three;
  gap.insert(gap.begin() + 188, {0x00, 0x47, 0x13});
  struct Row {
    const char* name;
    Bytes bytes;
    size_t packets;  // 0: the load fails
  };
  const std::vector<Row> rows = {
      {"clean", three, 3},
      {"garbage before", Join({{0x47, 0x00, 0x12, 0x47}, three}), 3},
      {"partial packet at the end", Join({three, {0x47, 0x01, 0x02}}), 3},
      // A packet followed by garbage cannot be told from garbage itself.
      {"garbage between packets costs the packet before", gap, 2},
      {"empty", {}, 0},
      {"no sync byte", Bytes(1000, 0x00), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TSRecording rec;
    std::string error;
    EXPECT_EQ(row.packets > 0, rec.LoadBytes(row.bytes, &error));
    EXPECT_EQ(row.packets, rec.PacketCount());
    EXPECT_EQ(row.packets == 0, !error.empty());
  }
}

}  // namespace
