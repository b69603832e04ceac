#include "sim/sim_demux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "sim/replay.h"
#include "sim/section_assembler.h"
#include "sim/sim_device_io.h"
#include "sim/ts_recording.h"
#include "stream/pmt_loader.h"
#include "support/app_harness.h"
#include "support/bytes.h"
#include "support/timing_cases.h"
#include "tsgen/pes.h"
#include "tsgen/ts.h"

namespace {

using tsgen::Bytes;

Bytes Section(uint8_t table, uint16_t ext, size_t body) {
  return tsgen::BuildSection(table, ext, 0, Bytes(body, 0x11));
}

TEST(SectionAssembler, RebuildsSectionsFromPackets) {
  using Mutate = std::function<void(std::vector<Bytes>&)>;
  struct Row {
    const char* name;
    std::vector<Bytes> sections;
    Mutate mutate;
    std::vector<int> expected;  // indices of the sections delivered, in order
    uint8_t firstCc = 0;
  };
  const Mutate none = [](std::vector<Bytes>&) {};
  const Bytes big1 = Section(0x42, 1, 400);
  const Bytes small2 = Section(0x42, 2, 20);
  const std::vector<Row> rows = {
      {"three sections in one packet",
       {Section(0x42, 1, 10), Section(0x42, 2, 20), Section(0x42, 3, 30)}, none, {0, 1, 2}},
      {"pointer field to a section starting mid-packet", {Section(0x42, 1, 300), small2}, none,
       {0, 1}},
      {"next section would start on the last byte", {Section(0x42, 1, 183 - 12), small2}, none,
       {0, 1}},
      {"continuity error drops the broken section", {big1, small2},
       [](std::vector<Bytes>& p) { p.erase(p.begin() + 1); }, {1}},
      {"continuity counter wraps from 15 to 0 inside a section", {big1, small2}, none, {0, 1}, 15},
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
    uint8_t cc = row.firstCc;
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

// Captures begin and end inside packets. A packet followed by garbage cannot
// be told from garbage itself, and is lost with it.
TEST(TSRecording, FindsPacketsAmongGarbage) {
  const Bytes null = tsgen::PCRPacket(0x1FFF, 0, 0);
  const Bytes capture =
      Cat({{0x47, 0x00, 0x12, 0x47}, null, {0x00, 0x47, 0x13}, null, null, {0x47, 0x01, 0x02}});
  for (const Bytes& bytes : {capture, Bytes(), Bytes(1000, 0x00)}) {  // two packets, none, none
    SCOPED_TRACE(bytes.size());
    TSRecording rec;
    std::string error;
    const size_t packets = bytes == capture ? 2 : 0;
    EXPECT_EQ(packets > 0, rec.LoadBytes(bytes, &error));
    EXPECT_EQ(packets, rec.PacketCount());
    EXPECT_EQ(packets == 0, !error.empty());
  }
}

// Replays of recordings as people have them: captures that begin at a tune,
// damaged clocks, and the end of a replay at full speed.
constexpr int64_t kSecond = 90000;
constexpr int64_t kMask = (int64_t{1} << 33) - 1;

// A recording longer than the stretch its clock is chosen on is placed while
// readers already ask about it: every answer must be the one a reader gets
// once the whole file is known, whichever packet it asks about first. The
// clock jumps (flagged, and unflagged then confirmed) and carries an outlier
// far past that stretch.
TEST(TSRecording, PlacesDoNotDependOnHowFarTheScanIs) {
  constexpr size_t kPackets = 200000;
  constexpr int64_t kTicksPerPcr = 2707;  // 100 packets at 5 Mbit/s
  const auto pcrAt = [&](size_t i) {
    int64_t v = static_cast<int64_t>(i / 100) * kTicksPerPcr;
    if (i >= 150000) v += 3600 * kSecond;
    if (i >= 180000) v -= 7200 * kSecond;
    return v & kMask;
  };
  Bytes ts;
  ts.reserve(kPackets * 188);
  uint8_t cc = 0;
  const Bytes filler(184, 0xFF);
  for (size_t i = 0; i < kPackets; ++i) {
    if (i % 100 != 0) {
      tsgen::AppendPacket(ts, 0x1FFF, false, cc, -1, filler.data(), filler.size());
      continue;
    }
    const Bytes pcr = tsgen::PCRPacket(0x100, i == 170000 ? kMask : pcrAt(i), 0);
    ts.insert(ts.end(), pcr.begin(), pcr.end());
    if (i == 150000) ts[ts.size() - 188 + 5] |= 0x80;  // discontinuity indicator
  }
  std::vector<size_t> asked;
  for (size_t i = 0; i < kPackets; i += 1000) {
    asked.push_back(i);
    asked.push_back(i + 37);
  }
  asked.push_back(kPackets - 1);
  const auto answers = [&](bool lastFirst) {
    TSRecording rec;
    std::string error;
    EXPECT_TRUE(rec.LoadBytes(ts, &error)) << error;
    std::vector<std::pair<int64_t, int64_t>> got(asked.size());
    for (size_t k = 0; k < asked.size(); ++k) {
      const size_t at = lastFirst ? asked.size() - 1 - k : k;
      got[at] = {rec.Place(asked[at]), rec.ClockOffset(asked[at])};
    }
    EXPECT_EQ(kPackets, rec.PacketCount());
    EXPECT_EQ(1, rec.IgnoredClockValues());
    EXPECT_EQ(2, rec.Discontinuities());
    return got;
  };
  const auto inOrder = answers(false);
  EXPECT_EQ(answers(true), inOrder);
  for (size_t k = 0; k < asked.size(); ++k) {
    const size_t i = asked[k];
    // Unbroken and even time, and the clock's own value within a millisecond.
    EXPECT_NEAR(static_cast<double>(i) * kTicksPerPcr / 100, static_cast<double>(inOrder[k].first),
                kTicksPerPcr) << i;
    if (i % 100 == 0 && i != 170000) {
      EXPECT_NEAR(static_cast<double>(pcrAt(i)),
                  static_cast<double>((inOrder[k].first + inOrder[k].second) & kMask), 90) << i;
    }
  }
}


void SetPCR(uint8_t* p, int64_t v) {
  for (int k = 0; k < 4; ++k) p[6 + k] = static_cast<uint8_t>(v >> (25 - 8 * k));
  p[10] = static_cast<uint8_t>((p[10] & 0x7F) | ((v & 1) << 7));
}

// Moves every clock value by `rebase`; the first PCR from 3 s on reads an hour
// early, the first from 6 s on 0x1FFFFFFFF, and from 7.3 s on (between two
// tables) PCR and PTS jump by `jump` (flagged on the first PCR when `flag`).
void Damage(Bytes& ts, int64_t rebase, int64_t jump, bool flag) {
  int wild = 0;
  int64_t shift = rebase;
  for (uint8_t* p = ts.data(); p + 188 <= ts.data() + ts.size(); p += 188) {
    const int64_t pcr = PacketPCR(p);
    const int64_t pts = PacketPTS(p);
    size_t offset = 0;
    size_t size = 0;
    if (pts >= 0 && PacketPayload(p, &offset, &size)) {
      tsgen::WritePTS(p + offset + 9, (pts + shift) & kMask);
    }
    if (pcr < 0) continue;
    if (pcr >= 73 * kSecond / 10 && shift == rebase) {
      shift = rebase + jump;
      if (flag) p[5] |= 0x80;
    }
    int64_t value = (pcr + shift) & kMask;
    if (wild == 0 && pcr >= 3 * kSecond) value = (value - 3600 * kSecond) & kMask, ++wild;
    if (wild == 1 && pcr >= 6 * kSecond) value = kMask, ++wild;
    SetPCR(p, value);
  }
}

// Virtual time: the participants take turns, those due together in the order
// they went to sleep; time stands still while one of them works, and for a
// thread that withdrew to join the others, whose sleeps then end at once.
TEST(VirtualClock, ThreadsTakeTurnsAndTimeWaitsForTheOneThatWorks) {
  for (bool withdraw : {false, true}) {  // A withdraws and joins B after its first wake-up
    SCOPED_TRACE(withdraw);
    for (int run = 0; run < 10; ++run) {
      VirtualClock clock;
      std::mutex mutex;
      std::string log;
      // Logs a wake-up, then works a little real time: the clock must not move.
      const auto woke = [&](const char* who) {
        const int64_t now = clock.NowMicros();
        {
          std::lock_guard<std::mutex> lock(mutex);
          log += std::string(who) + "@" + std::to_string(now) + " ";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(now, clock.NowMicros()) << who;
      };
      clock.Sleep(0);  // A takes part before it creates B
      clock.ExpectThread();
      std::thread b([&] {
        clock.Enter();
        for (uint32_t micros : {10, 20, 5}) {
          clock.Sleep(micros);
          woke("B");
        }
        clock.Leave();
      });
      clock.Sleep(10);
      woke("A");
      if (withdraw) clock.Withdraw();
      for (uint32_t micros : {10u, 30u}) {
        if (withdraw) break;
        clock.Sleep(micros);
        woke("A");
      }
      b.join();
      clock.Leave();
      ASSERT_EQ(withdraw ? "A@10 B@10 B@10 B@10 " : "A@10 B@10 A@20 B@30 B@35 A@50 ", log) << run;
    }
  }
}

TEST(CaptureReplay, DamagedClockNeitherStretchesTimeNorLosesSubtitles) {
  const std::vector<double> at = {2.0, 4.5, 9.0, 11.5};
  TimingCase recording{"damaged.ts", 14, {}};
  for (size_t k = 0; k < at.size(); ++k) {
    recording.pages.push_back({at[k], {"Line " + std::to_string(k)}});
  }
  struct Row {
    const char* name;
    int64_t rebase;
    int64_t jump;
    bool flag;
  };
  const std::vector<Row> rows = {
      {"flagged jump forward", 0, 3600 * kSecond, true},
      {"unflagged jump back, confirmed by what follows", 0, -50 * kSecond, false},
      {"33-bit roll-over at 5 s", kMask + 1 - 5 * kSecond, 20 * kSecond, false},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes ts = TimingRecording(recording);
    Damage(ts, row.rebase, row.jump, row.flag);
    const replay::Result r = replay::Run(Play(WriteRecording(dir, recording.name, ts)));
    ASSERT_EQ(0, r.status) << r.error;
    ASSERT_EQ(at.size(), r.srt.size());
    for (size_t k = 0; k < at.size(); ++k) {
      EXPECT_EQ(std::vector<std::string>{"Line " + std::to_string(k)}, r.srt[k].lines);
      EXPECT_NEAR(at[k] * 1000, static_cast<double>(r.srt[k].startMs), 50) << k;
    }
    EXPECT_LE(r.endMs, 14000 + 1000 + 1000);
  }
}

// A tune at the start of the recording reads its first PAT, in its very
// first packet where it is, and the PMTs that come after it.
TEST(CaptureReplay, ScanReadsTheSamplesFromTheirFirstPacket) {
  struct Sample {
    const char* file;
    double seconds;                       // real duration
    std::vector<std::vector<int>> scans;  // service, PMT PID, GetAllPIDs result
  };
  const Sample samples[] = {
      // 100 packets at the nominal 4 Mbit/s.
      {"broadcast-no-timestamps.ts", 99 * 188 * 8 / 4e6, {{1, 0x100, 1}, {2, 0x101, 1}}},
      // PCRs over 0.96 s every 80 ms; the packets after the last one fill less
      // than one more step.
      {"broadcast-psi-early.ts", 1.04, {{1, 0x100, 0}}},
      {"broadcast-teletext-fra.ts", 36.637, {{4006, 0xA0, 1}}},
      // A full multiplex at a constant rate: its bytes give the duration.
      {"broadcast-teletext-ita.ts", 1.343, {{3401, 0x102, 1}, {3402, 0x101, 1}, {3411, 0x118, 1}}},
  };
  for (const Sample& sample : samples) {
    SCOPED_TRACE(sample.file);
    VirtualClock clock;
    SimDemux demux(&clock);
    std::string error;
    ASSERT_TRUE(demux.Load(std::string(ZUVA_SAMPLES_DIR) + "/" + sample.file, &error)) << error;
    EXPECT_NEAR(sample.seconds * 1e6, static_cast<double>(demux.DurationMicros()),
                sample.seconds * 1e4);
    SimDeviceIO io;
    Platform platform{&io, &clock, Paths()};
    io.Attach(platform.paths.demux, &demux);
    LogCapture capture;
    PMTLoader loader(platform);
    for (const std::vector<int>& scan : sample.scans) {
      demux.Rewind();
      capture.Clear();
      EXPECT_EQ(scan[2], loader.GetAllPIDs(scan[0], scan[1])) << scan[0];
      EXPECT_EQ(std::string::npos, capture.Text().find("Error read(PAT)")) << scan[0];
      EXPECT_EQ(scan[2], static_cast<int>(!loader.TxtSubtitles().empty())) << scan[0];
    }
  }
}

}  // namespace
