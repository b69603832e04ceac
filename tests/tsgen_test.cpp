#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "sim/section_assembler.h"
#include "sim/ts_recording.h"
#include "support/temp_dir.h"
#include "tsgen/pes.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/ts.h"

namespace {

using tsgen::Bytes;

std::string Hex(const Bytes& b) {
  std::string out;
  char buf[4];
  for (uint8_t v : b) {
    snprintf(buf, sizeof buf, "%02x", v);
    out += buf;
  }
  return out;
}

TEST(Crc32Mpeg, KnownValues) {
  struct Row {
    std::string data;
    uint32_t crc;
  };
  for (const Row& row : std::vector<Row>{{"", 0xFFFFFFFFu},
                                         {"123456789", 0x0376E6E7u},
                                         {std::string(1, '\0'), 0x4E08BFB4u}}) {
    EXPECT_EQ(row.crc, Crc32Mpeg(reinterpret_cast<const uint8_t*>(row.data.data()),
                                 row.data.size()))
        << "'" << row.data << "'";
  }
  // Continuing a sum gives the same as one pass.
  const uint8_t text[] = "123456789";
  EXPECT_EQ(0x0376E6E7u, Crc32Mpeg(text + 4, 5, Crc32Mpeg(text, 4)));
}

TEST(Descriptors, EncodeAsBroadcast) {
  struct Row {
    const char* name;
    Bytes bytes;
    std::string hex;
  };
  const Bytes cut = tsgen::Descriptor(0x80, Bytes(300, 0));
  EXPECT_EQ(257u, cut.size());
  const std::vector<Row> rows = {
      // As the French sample's PMT carries it.
      {"teletext, magazine 8 as 0",
       tsgen::TeletextDescriptor({{"fra", 5, 0x888}, {"fra", 2, 0x889}}),
       "560a66726128886672611089"},
      {"teletext, magazine 1", tsgen::TeletextDescriptor({{"deu", 2, 0x150}}), "5605646575115" "0"},
      {"subtitling", tsgen::SubtitlingDescriptor({{"ger", 0x10, 1, 0x0203}}),
       "59086765721000010203"},
      {"short language padded", tsgen::TeletextDescriptor({{"x", 2, 0x100}}), "5605782020110" "0"},
      {"any descriptor", tsgen::Descriptor(0x52, {0x07}), "520107"},
      {"body cut at 255", Bytes(cut.begin(), cut.begin() + 2), "80ff"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.hex, Hex(row.bytes)) << row.name;
}

TEST(Sections, HeaderLengthAndCRC) {
  const Bytes pat = tsgen::BuildPAT(0x0fa6, {{0x0fa6, 0x00a0}}, 2);
  EXPECT_EQ("00b00d0fa6c500000fa6e0a0", Hex(Bytes(pat.begin(), pat.end() - 4)));
  EXPECT_EQ(0u, Crc32Mpeg(pat.data(), pat.size()));
  // ES_info_length uses all 12 bits and the next entry follows it.
  const Bytes pmt =
      tsgen::BuildPMT(0x10, 0x1FFF, {}, {{0x06, 0x300, Bytes(300, 0xAB)}, {0x03, 0x301, {}}});
  EXPECT_EQ(326u, pmt.size());
  EXPECT_EQ("02b143", Hex(Bytes(pmt.begin(), pmt.begin() + 3)));
  EXPECT_EQ("f12c", Hex(Bytes(pmt.begin() + 15, pmt.begin() + 17)));
  EXPECT_EQ(0x03, pmt[12 + 5 + 300]);
  EXPECT_EQ(0u, Crc32Mpeg(pmt.data(), pmt.size()));
  Bytes changed = pat;
  changed[9] ^= 0xFF;
  tsgen::FixCRC(changed);
  EXPECT_EQ(0u, Crc32Mpeg(changed.data(), changed.size()));
}

// Checks the packet-level invariants every packetiser must keep.
void CheckPackets(const Bytes& stream, uint16_t pid, uint8_t firstCc, bool payloadOnly = false) {
  ASSERT_EQ(0u, stream.size() % 188);
  uint8_t cc = firstCc;
  for (size_t pos = 0; pos < stream.size(); pos += 188) {
    const uint8_t* p = stream.data() + pos;
    ASSERT_EQ(0x47, p[0]);
    EXPECT_EQ(pid, ((p[1] & 0x1F) << 8) | p[2]);
    size_t offset = 0;
    size_t size = 0;
    if (!PacketPayload(p, &offset, &size)) continue;
    EXPECT_EQ(cc, p[3] & 0x0F) << "packet " << pos / 188;
    cc = (cc + 1) & 0x0F;
    if (payloadOnly) {
      EXPECT_EQ(0x10, p[3] & 0x30);
    }
  }
}

TEST(PacketizeSections, PointerFieldsStuffingAndCounters) {
  struct Row {
    const char* name;
    std::vector<size_t> bodies;  // section body sizes
    uint8_t cc;
    size_t packets;
    std::vector<int> pointers;  // pointer field of each packet, -1 without unit start
  };
  const std::vector<Row> rows = {
      {"one small", {10}, 0, 1, {0}},
      {"exactly one packet", {183 - 12}, 3, 1, {0}},
      {"one byte more", {184 - 12}, 3, 2, {0, -1}},
      {"three in one packet", {10, 20, 30}, 14, 1, {0}},
      {"second starts mid-packet", {300, 20}, 15, 2, {0, 312 - 183}},
      {"second would start on the last byte", {183 - 12, 20}, 7, 2, {0, 0}},
      {"long", {1009}, 9, 6, {0, -1, -1, -1, -1, -1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<Bytes> sections;
    for (size_t k = 0; k < row.bodies.size(); ++k) {
      sections.push_back(tsgen::BuildSection(0x42, static_cast<uint16_t>(k), 0,
                                             Bytes(row.bodies[k], static_cast<uint8_t>(k))));
    }
    uint8_t cc = row.cc;
    const Bytes stream = tsgen::PacketizeSections(0x123, sections, cc);
    ASSERT_EQ(row.packets * 188, stream.size());
    CheckPackets(stream, 0x123, row.cc, true);
    EXPECT_EQ((row.cc + row.packets) & 0x0F, cc);
    for (size_t k = 0; k < row.packets; ++k) {
      const uint8_t* p = stream.data() + k * 188;
      EXPECT_EQ(row.pointers[k], (p[1] & 0x40) ? p[4] : -1) << "packet " << k;
    }
    // A last packet with room to spare ends in stuffing.
    size_t used = 0;
    for (const Bytes& sec : sections) used += sec.size();
    for (int pointer : row.pointers) used += pointer >= 0 ? 1 : 0;
    if (used < row.packets * 184) {
      EXPECT_EQ(0xFF, stream.back());
    }
    // And the sections come back whole.
    SectionAssembler assembler;
    std::vector<Bytes> got;
    for (size_t pos = 0; pos < stream.size(); pos += 188) {
      assembler.Push(stream.data() + pos,
                     [&](const uint8_t* s, size_t n) { got.emplace_back(s, s + n); });
    }
    EXPECT_EQ(sections, got);
  }
}

TEST(PacketizePES, SplitsWithStuffingAndPCR) {
  struct Row {
    size_t size;
    int64_t pcr;
    size_t packets;
  };
  const std::vector<Row> rows = {
      {14, -1, 1},  {183, -1, 1}, {184, -1, 1}, {185, -1, 2},  {368, -1, 2},
      {369, -1, 3}, {176, 0x1FFFFFFFFLL, 1},    {177, 123456, 2}, {2000, 90000, 11},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.size << " bytes, pcr " << row.pcr);
    Bytes pes(row.size);
    for (size_t k = 0; k < pes.size(); ++k) pes[k] = static_cast<uint8_t>(k * 7);
    uint8_t cc = 9;
    const Bytes stream = tsgen::PacketizePES(0x42c, pes, cc, row.pcr);
    ASSERT_EQ(row.packets * 188, stream.size());
    CheckPackets(stream, 0x42c, 9);
    EXPECT_EQ((9 + row.packets) & 0x0F, cc);
    Bytes payload;
    for (size_t k = 0; k < row.packets; ++k) {
      const uint8_t* p = stream.data() + k * 188;
      EXPECT_EQ(k == 0, (p[1] & 0x40) != 0) << k;
      EXPECT_EQ(k == 0 ? row.pcr : -1, PacketPCR(p)) << k;
      size_t offset = 0;
      size_t size = 0;
      ASSERT_TRUE(PacketPayload(p, &offset, &size));
      // Adaptation field stuffing after the flags (and PCR) is all 0xFF.
      if (p[3] & 0x20 && p[4] > 0) {
        const size_t stuffFrom = 6 + ((p[5] & 0x10) ? 6 : 0);
        for (size_t b = stuffFrom; b < offset; ++b) EXPECT_EQ(0xFF, p[b]) << k << ":" << b;
      }
      payload.insert(payload.end(), p + offset, p + offset + size);
    }
    EXPECT_EQ(pes, payload);
  }
  uint8_t cc = 4;
  EXPECT_TRUE(tsgen::PacketizePES(0x42c, {}, cc).empty());
  EXPECT_EQ(4, cc);
}

TEST(RecordingBuilder, InterleavesTablesClockAndPES) {
  tsgen::RecordingBuilder b;
  const Bytes pat = tsgen::BuildPAT(1, {{1, 0x100}});
  const Bytes pmt = tsgen::BuildPMT(1, 0x1FF0, {},
                                    {{0x06, 0x200, tsgen::TeletextDescriptor({{"eng", 2, 0x888}})}});
  b.AddTable(0, pat);
  b.AddTable(0x100, pmt);
  b.EnablePCR(0x1FF0);
  b.SetTablePeriod(9000);
  // Added out of order; sent in order of time, ties in the order added.
  const Bytes late = tsgen::BuildPES(0xBD, 40000, Bytes(300, 2));
  const Bytes early = tsgen::BuildPES(0xBD, 20000, Bytes(10, 1));
  const Bytes tie = tsgen::BuildPES(0xBD, 30000, Bytes(10, 3));
  const Bytes other = tsgen::BuildPES(0xBD, 30000, Bytes(10, 4));
  b.AddPES(0x200, 27000, late);
  b.AddPES(0x200, 9000, early);
  b.AddPES(0x201, 18000, tie);
  b.AddPES(0x202, 18000, other);
  b.SetStartTime(0);
  const Bytes ts = b.Build();

  TSRecording rec;
  std::string error;
  ASSERT_TRUE(rec.LoadBytes(ts, &error)) << error;
  std::string order;
  for (size_t i = 0; i < rec.PacketCount(); ++i) {
    const uint8_t* p = rec.Packet(i);
    const uint16_t pid = rec.Pid(i);
    const bool start = (p[1] & 0x40) != 0;
    if (pid == 0x1FF0) order += "C" + std::to_string(PacketPCR(p) / 9000);
    if (pid == 0 && start) order += " P";
    if (pid == 0x100 && start) order += "M ";
    if (pid >= 0x200 && start) order += std::to_string(pid - 0x200) + "/" +
                                        std::to_string(PacketPTS(p) / 10000) + " ";
  }
  EXPECT_EQ("C0 PM C1 PM 0/2 C2 PM 1/3 2/3 C3 PM 0/4 ", order);
  // Counters run on per PID, tables reassemble without loss.
  SectionAssembler assembler;
  int tables = 0;
  for (uint32_t index : rec.PacketsOf(0x100)) {
    assembler.Push(rec.Packet(index), [&](const uint8_t* s, size_t n) {
      EXPECT_EQ(pmt, Bytes(s, s + n));
      ++tables;
    });
  }
  EXPECT_EQ(4, tables);
  EXPECT_EQ(0, assembler.Dropped());
  EXPECT_TRUE(rec.HasPCR());
  // Past the last PCR the places go on, for one PCR step at most.
  EXPECT_GT(rec.Place(rec.PacketCount() - 1), 27000);
  EXPECT_LE(rec.Place(rec.PacketCount() - 1), 36000);

  TempDir dir;
  ASSERT_TRUE(b.WriteFile(dir.File("demo.ts"), &error)) << error;
  EXPECT_EQ(std::string(ts.begin(), ts.end()), ReadWholeFile(dir.File("demo.ts")));
  EXPECT_FALSE(b.WriteFile(dir.File("missing/demo.ts"), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
