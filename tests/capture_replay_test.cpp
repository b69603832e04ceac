// Replays of recordings as people have them: captures that begin at a tune,
// damaged or missing clocks, and the end of a replay at full speed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "sim/replay.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "stream/pmt_loader.h"
#include "support/app_harness.h"
#include "support/temp_dir.h"
#include "tsgen/pes.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/teletext_encoder.h"

namespace {

using tsgen::Bytes;
constexpr int64_t kSecond = 90000;
constexpr int64_t kMask = (int64_t{1} << 33) - 1;
constexpr int64_t kStart = 100 * kSecond;

// One service with a subtitle "Line k" on page 0x888 at each of `at`
// seconds, `seconds` long; with a clock, a PCR on 0x1FF and PTS, without,
// neither.
Bytes SubtitleRecording(double seconds, const std::vector<double>& at, bool clock = true) {
  tsgen::RecordingBuilder b;
  if (clock) b.EnablePCR(0x1FF);
  b.SetStartTime(kStart);
  b.SetEndTime(kStart + static_cast<int64_t>(seconds * kSecond));
  b.AddTable(0, tsgen::BuildPAT(1, {{1, 0x100}}));
  b.AddTable(0x100, tsgen::BuildPMT(1, 0x1FF, {},
                                    {{0x06, 0x300, tsgen::TeletextDescriptor({{"eng", 2, 0x888}})}}));
  for (size_t k = 0; k < at.size(); ++k) {
    auto units = tsgen::EncodePage(tsgen::SubtitlePage(0x888, {"Line " + std::to_string(k)}));
    tsgen::TeletextHeader next;
    next.page = 0x8FF;
    units.push_back(tsgen::EncodeHeaderUnit(next));
    const int64_t pts = kStart + static_cast<int64_t>(at[k] * kSecond);
    for (Bytes pes : tsgen::PackTeletextPES(units, pts)) {
      if (!clock) pes[7] = 0x00;  // flags: no PTS
      b.AddPES(0x300, pts - 18000, pes);
    }
  }
  return b.Build();
}

std::string Write(const TempDir& dir, const std::string& name, const Bytes& bytes) {
  dir.Write(name, std::string(bytes.begin(), bytes.end()));
  return dir.File(name);
}

void SetPCR(uint8_t* p, int64_t v) {
  for (int k = 0; k < 4; ++k) p[6 + k] = static_cast<uint8_t>(v >> (25 - 8 * k));
  p[10] = static_cast<uint8_t>((p[10] & 0x7F) | ((v & 1) << 7));
}

void SetPTS(uint8_t* p, int64_t v) {
  size_t offset = 0;
  size_t size = 0;
  ASSERT_TRUE(PacketPayload(p, &offset, &size));
  tsgen::WritePTS(p + offset + 9, v);
}

// Moves every clock value by `rebase`; at 3 s a PCR reads an hour early, at
// 6 s one reads 0x1FFFFFFFF, and from 7.5 s on PCR and PTS jump by `jump`
// (flagged on the first PCR when `flag`).
void Damage(Bytes& ts, int64_t rebase, int64_t jump, bool flag) {
  bool wild = false;
  bool allOnes = false;
  int64_t shift = rebase;
  for (size_t pos = 0; pos + 188 <= ts.size(); pos += 188) {
    uint8_t* p = ts.data() + pos;
    const int64_t pcr = PacketPCR(p);
    const int64_t pts = PacketPTS(p);
    if (pcr >= 0) {
      const int64_t t = pcr - kStart;
      if (t >= 15 * kSecond / 2 && shift == rebase) {
        shift = rebase + jump;
        if (flag) p[5] |= 0x80;
      }
      int64_t value = (pcr + shift) & kMask;
      if (!wild && t >= 3 * kSecond) {
        wild = true;
        value = (value - 3600 * kSecond) & kMask;
      } else if (!allOnes && t >= 6 * kSecond) {
        allOnes = true;
        value = kMask;
      }
      SetPCR(p, value);
    }
    if (pts >= 0) SetPTS(p, (pts + shift) & kMask);
  }
}

TEST(CaptureReplay, DamagedClockNeitherStretchesTimeNorLosesSubtitles) {
  const std::vector<double> at = {2.0, 4.5, 9.0, 11.5};
  struct Row {
    const char* name;
    int64_t rebase;
    int64_t jump;
    bool flag;
  };
  const std::vector<Row> rows = {
      {"flagged jump forward", 0, 3600 * kSecond, true},
      {"unflagged jump back, confirmed by what follows", 0, -50 * kSecond, false},
      {"33-bit roll-over at 5 s", kMask + 1 - kStart - 5 * kSecond, 20 * kSecond, false},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes ts = SubtitleRecording(14, at);
    Damage(ts, row.rebase, row.jump, row.flag);

    VirtualClock clock;
    SimDemux demux(&clock);
    std::string error;
    ASSERT_TRUE(demux.LoadBytes(ts, &error)) << error;
    EXPECT_NEAR(14e6, static_cast<double>(demux.DurationMicros()), 14e6 * 0.01);
    EXPECT_EQ(2, demux.Recording().IgnoredClockValues());
    EXPECT_EQ(1, demux.Recording().Discontinuities());

    const replay::Result r = replay::Run(Play(Write(dir, "damaged.ts", ts)));
    ASSERT_EQ(0, r.status) << r.error;
    ASSERT_EQ(at.size(), r.srt.size());
    for (size_t k = 0; k < at.size(); ++k) {
      EXPECT_EQ(std::vector<std::string>{"Line " + std::to_string(k)}, r.srt[k].lines);
      EXPECT_NEAR(at[k] * 1000, static_cast<double>(r.srt[k].startMs), 50) << k;
    }
    EXPECT_LE(r.endMs, 14000 + 1000 + 1000);
  }
}

TEST(CaptureReplay, FullSpeedEndsOnTimeWithTheSameSubtitlesEveryRun) {
  TempDir dir;
  replay::Options o = Play(Write(dir, "short.ts", SubtitleRecording(3, {0.5, 1.5})));
  o.tailSeconds = 1.0;
  std::string first;
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE(run);
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_LE(r.endMs, 3000 + 1000 + 1000);
    EXPECT_EQ(0, r.leakedHandles);
    const std::string srt = replay::FormatSrt(r.srt);
    if (run == 0) first = srt;
    ASSERT_EQ(2u, r.srt.size());
    EXPECT_EQ(first, srt);
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

// Without PCR or PTS a recording is placed by its bytes at the nominal rate,
// and what it carries is delivered; packets without PTS show on arrival.
TEST(CaptureReplay, RecordingWithoutClockIsPlacedByBytePosition) {
  TempDir dir;
  const std::string file = Write(dir, "noclock.ts", SubtitleRecording(2, {1.0}, false));
  // Slow rates: the PES filter must be set before the subtitle arrives.
  for (int64_t rate : {int64_t{8000}, int64_t{32000}}) {
    SCOPED_TRACE(rate);
    replay::Options o = Play(file);
    o.bitRate = rate;
    const replay::Result r = replay::Run(o);
    ASSERT_EQ(0, r.status) << r.error;
    ASSERT_EQ(1u, r.srt.size());
    EXPECT_EQ(std::vector<std::string>{"Line 0"}, r.srt[0].lines);
  }
}

}  // namespace
