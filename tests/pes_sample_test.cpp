// The broadcast sample's teletext stream through the real PES filter and its
// reader thread, on the simulated demultiplexer: every packet comes whole, in
// order, never before its PTS and never after it. Time moves only while the
// reader thread sleeps, so its passes fall on the 10 ms grid of its idle pause,
// and the sample's packets are due on a 40 ms grid: each one must go to the
// decoder in the very pass in which the STC reaches its PTS.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/log.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "sim/ts_recording.h"
#include "stream/pes_filter.h"
#include "support/recording_decoder.h"

namespace {

constexpr char kSample[] = ZUVA_SAMPLES_DIR "/broadcast-teletext-fra.ts";
constexpr uint16_t kTeletextPid = 0x42C;

struct ReferencePacket {
  std::vector<uint8_t> bytes;
  size_t firstTsIndex;  // where the packet starts in the recording
};

// The PES packets of one PID, rebuilt straight from the recording's TS
// packets without the demultiplexer or the filter.
std::vector<ReferencePacket> ReferencePackets(const TSRecording& recording, uint16_t pid) {
  std::vector<ReferencePacket> out;
  bool open = false;
  for (const uint32_t index : recording.PacketsOf(pid)) {
    const uint8_t* ts = recording.Packet(index);
    size_t offset = 0;
    size_t size = 0;
    if ((ts[1] & 0x80) != 0 || !PacketPayload(ts, &offset, &size)) continue;
    if ((ts[1] & 0x40) != 0) {
      out.push_back({{}, index});
      open = true;
    }
    if (open) out.back().bytes.insert(out.back().bytes.end(), ts + offset, ts + offset + size);
  }
  // A payload is padded to the end of its TS packet; the header says how
  // much of it is the PES packet.
  for (ReferencePacket& p : out) {
    if (p.bytes.size() < 6) continue;
    const size_t length = 6 + static_cast<size_t>((p.bytes[4] << 8) | p.bytes[5]);
    p.bytes.resize(std::min(p.bytes.size(), length));
  }
  return out;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(PESFilterSample, TeletextReachesTheDecoderWholeInOrderAndOnTime) {
  LogCapture capture;
  const int livePacketsBefore = PESFilter::LivePackets();
  VirtualClock clock;
  SimDemux demux(&clock);
  std::string error;
  ASSERT_TRUE(demux.Load(kSample, &error)) << error;
  const std::vector<ReferencePacket> reference = ReferencePackets(demux.Recording(), kTeletextPid);
  ASSERT_GT(reference.size(), 900u);

  SimDeviceIO io;
  Platform platform{&io, &clock, Paths::Under("/nonexistent/zuva-pes-sample-test")};
  io.Attach(platform.paths.demux, &demux);
  RecordingDecoder decoder;
  decoder.SetStcSource([&demux] { return demux.STC(); });

  // The filter sees what arrives from the moment it is set, from the next
  // packet start on; its Start is replay time 0, so that is the first.
  const size_t readyBefore = demux.ArrivedBefore(demux.ReplayMicros());
  size_t last = 0;
  {
    PESFilter filter(platform);
    ASSERT_TRUE(filter.Start(kTeletextPid, &decoder, 0));
    const size_t readyAfter = demux.ReadyCount(demux.ReplayMicros());
    size_t first = 0;
    while (first < reference.size() && reference[first].firstTsIndex < readyBefore) ++first;
    last = first;
    while (last + 1 < reference.size() && reference[last].firstTsIndex < readyAfter) ++last;
    ASSERT_LT(first, 30u);

    // Everything from the first packet the filter can see to the end.
    const size_t atLeast = reference.size() - last;
    EXPECT_TRUE(WaitFor([&] { return decoder.PacketCount() >= atLeast && demux.Finished(); },
                        std::chrono::seconds(60)))
        << decoder.PacketCount() << " of " << atLeast;
    // Nothing more is on its way: the last packet is due half a second of
    // stream after the recording ends.
    const int64_t settle = demux.ReplayMicros() + 1000000;
    EXPECT_TRUE(WaitFor([&] { return demux.ReplayMicros() > settle; }, std::chrono::seconds(10)));
    EXPECT_TRUE(filter.Stop());
  }

  const std::vector<RecordingDecoder::Packet> got = decoder.Packets();
  ASSERT_FALSE(got.empty());
  // Where in the reference the delivered stream begins.
  size_t k = 0;
  while (k < reference.size() && reference[k].bytes != got[0].bytes) ++k;
  ASSERT_LT(k, reference.size()) << "the first packet delivered is not one of the recording's";
  EXPECT_GE(reference[k].firstTsIndex, readyBefore);
  EXPECT_LE(k, last);
  ASSERT_EQ(got.size(), reference.size() - k) << "packets lost or added (first at " << k << ")";

  for (size_t i = 0; i < got.size(); ++i) {
    const std::vector<uint8_t>& want = reference[k + i].bytes;
    ASSERT_EQ(got[i].bytes, want) << "packet " << i << " differs or is out of order";
    int64_t pts = -1;
    ASSERT_EQ(0, PESFilter::GetPTS(want.data(), static_cast<uint32_t>(want.size()), pts));
    ASSERT_EQ(got[i].pts, pts) << i;
    ASSERT_EQ(got[i].stc, pts) << "packet " << i << " released early or late";
  }

  EXPECT_EQ(io.OpenHandles(), 0);
  EXPECT_EQ(PESFilter::LivePackets(), livePacketsBefore);
}

}  // namespace
