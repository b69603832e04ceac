// A recording as zuva-replay reads it: packet boundaries among damage, the
// clock and the time line. Every packet found is handed out once and in
// order, places never decrease, and the time line is the same whichever
// packet is asked about first.
//
// Input: the recording's bytes.

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sim/ts_recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  TSRecording forward;
  std::string error;
  const bool loaded = forward.LoadBytes(bytes, &error);
  FUZZ_CHECK(loaded == error.empty());
  if (!loaded) return 0;
  const size_t count = forward.PacketCount();
  FUZZ_CHECK(count > 0 && count * TSRecording::kPacketSize + forward.SkippedBytes() == size);

  size_t visited = 0;
  forward.Visit(0, [&](size_t index, const uint8_t* packet) {
    FUZZ_CHECK(index == visited && packet[0] == 0x47);
    ++visited;
    return true;
  });
  FUZZ_CHECK(visited == count);

  std::vector<int64_t> places(count);
  for (size_t i = 0; i < count; ++i) {
    places[i] = forward.Place(i);
    FUZZ_CHECK(i == 0 ? places[0] == forward.FirstTimestamp() : places[i] >= places[i - 1]);
  }
  TSRecording backward;
  FUZZ_CHECK(backward.LoadBytes(bytes, &error));
  for (size_t i = count; i-- > 0;) {
    FUZZ_CHECK(backward.Place(i) == places[i]);
    FUZZ_CHECK(backward.ClockOffset(i) == forward.ClockOffset(i));
  }
  return 0;
}
