#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/sim_device_io.h"
#include "sim/ts_recording.h"

struct SimDemuxOptions {
  // The system time clock runs this far behind the recording's places, so
  // data arrives ahead of its presentation time as it does on air.
  int64_t leadMicros = 500000;
  // Bits per second at which a recording without time stamps is placed.
  int64_t nominalBitRate = TSRecording::kDefaultBitRate;
  // Step of a blocking read's wait, in the clock's time.
  uint32_t pollMicros = 10000;
  // Buffer of a new handle, and the largest a buffer-size request may ask for.
  size_t defaultBufferSize = 8192;
  size_t maxBufferSize = 16u << 20;
};

// A demultiplexer that plays a recorded transport stream, attached to a
// SimDeviceIO at the demux path. It answers the box driver's requests:
//
// - DMX_SET_FILTER (SectionFilterParams): one whole section per read; byte 0
//   of filter and mask applies to the table ID, bytes 1 to 15 to the section
//   from its fourth byte on. Flags: 1 drops sections whose CRC fails, 2 stops
//   the filter after its first section, 4 starts it at once (a filter without
//   it never delivers: there is no separate start request). A time-out in
//   replay milliseconds makes a read fail with ETIMEDOUT when no section came
//   in time. A read shorter than the section gets its start; the rest is lost.
// - DMX_SET_PES_FILTER (PESFilterParams, output 1 = tap only): the payload of
//   one PID as a byte stream from its first unit start on. Reads return what
//   is buffered up to the count.
// - DMX_SET_BUFFERSIZE (the size itself as the argument): the handle's buffer.
//   What does not fit when data arrives is dropped, as a full driver buffer
//   loses it; memory never grows beyond the size.
// - DMX_STOP: the filter stops and its buffered data is discarded.
// - DMX_GET_STC (STCRequest): in 90 kHz ticks, what the recording's own
//   clock read `leadMicros` of replay time ago: it jumps where that clock
//   jumps, while replay time runs on without a gap. A clock that would read
//   below zero (a recording starting near zero, within the lead) reads 0.
//
// A replay behaves like a tune: replay time 0 is the moment the first filter
// is set after Load (or Rewind), or the moment of Start if that comes first,
// and the recording's first packet arrives then. Later packets become
// readable as the replay clock reaches their place (see TSRecording). A
// filter sees data that arrives from the moment it is set on. Replay time
// runs on the Platform's Clock; blocking reads wait by sleeping on that clock
// in small steps, so on virtual time a reader waiting for data takes part in
// the clock like any sleeper. Non-blocking handles fail with EAGAIN when
// nothing is ready, in the caller's turn. Each handle sees the recording
// through a window of its own on the chunks the recording read, which the
// handles share, so a packet is never copied for a handle.
//
// Handles may be used from several threads at once; Load and Rewind must
// happen while no handle is open.
class SimDemux : public SimDevice {
 public:
  explicit SimDemux(Clock* clock, SimDemuxOptions options = SimDemuxOptions());
  SimDemux(const SimDemux&) = delete;
  SimDemux& operator=(const SimDemux&) = delete;

  bool Load(const std::string& path, std::string* error);
  bool LoadBytes(const std::vector<uint8_t>& bytes, std::string* error);
  // The recording starts to arrive now, unless it already does.
  void Start();
  bool Started() const { return origin_.load() != kNotStarted; }
  // Sets the replay back to its beginning; it starts again with the next
  // filter (or Start).
  void Rewind();

  std::shared_ptr<SimHandle> Open(int flags) override;

  const TSRecording& Recording() const { return recording_; }
  // Time since the replay started, in the clock's microseconds; 0 before.
  int64_t ReplayMicros() const;
  // Packets readable at one replay time, and the span of replay times
  // [from, until) in which that count holds.
  struct ArrivalWindow {
    size_t count = 0;
    int64_t from = 1;
    int64_t until = 0;  // empty: the first look searches
    size_t stride = 0;  // how far the count moved at the last search
  };
  // The system time clock now, 33 bits of 90 kHz ticks. A caller that asks
  // often keeps a window of its own, so that readings within it look at no
  // packet.
  int64_t STC() const;
  int64_t STC(ArrivalWindow& window) const;
  // Replay time at which the last packet becomes readable: the span of the
  // recording.
  int64_t DurationMicros() const;
  // True once every packet of the recording has become readable.
  bool Finished() const;

  // For the handles.
  Clock* GetClock() const { return clock_; }
  const SimDemuxOptions& Options() const { return options_; }
  // Replay time at which packet `index` arrives.
  int64_t ArrivalMicros(size_t index) const;
  // Number of packets readable at replay time `micros` (arrived by then);
  // found fastest when `hint` is near it. `all`, when given, tells whether
  // that is every packet of the recording.
  size_t ReadyCount(int64_t micros, size_t hint = 0, bool* all = nullptr) const;
  // The same, answered from `window` while `micros` lies in it, and the
  // window moved to `micros` otherwise.
  size_t ReadyCount(int64_t micros, ArrivalWindow& window) const;
  // Number of packets that arrived before replay time `micros`.
  size_t ArrivedBefore(int64_t micros) const;

 private:
  static constexpr int64_t kNotStarted = INT64_MIN;

  Clock* clock_;
  SimDemuxOptions options_;
  TSRecording recording_;
  std::atomic<int64_t> origin_{kNotStarted};
  // Where the last look for the end stood.
  mutable std::atomic<size_t> finishedHint_{0};
};
