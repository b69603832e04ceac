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
  // The recording's first time stamp is played at replay time minus this, so
  // data arrives ahead of its presentation time as it does on air.
  int64_t leadMicros = 500000;
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
// - DMX_GET_STC (STCRequest): the replay clock in 90 kHz ticks, continuing
//   from the recording's first time stamp.
//
// Data of the recording becomes readable when the replay clock reaches its
// place (see TSRecording). A filter only sees data that arrives after it was
// set. Replay time runs on the Platform's Clock from the moment of Load (or
// Rewind); blocking reads wait by sleeping on that clock in small steps.
// Non-blocking handles fail with EAGAIN when nothing is ready.
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
  // Starts the replay again from the beginning, at the clock's present time.
  void Rewind();

  std::shared_ptr<SimHandle> Open(int flags) override;

  const TSRecording& Recording() const { return recording_; }
  // Time since the replay started, in the clock's microseconds.
  int64_t ReplayMicros() const;
  // The system time clock now, 33 bits of 90 kHz ticks.
  int64_t STC() const;
  // Replay time at which the last packet becomes readable.
  int64_t DurationMicros() const { return times_.empty() ? 0 : times_.back(); }
  // True once every packet of the recording has become readable.
  bool Finished() const { return ReplayMicros() >= DurationMicros(); }

  // For the handles.
  Clock* GetClock() const { return clock_; }
  const SimDemuxOptions& Options() const { return options_; }
  // Number of packets readable at replay time `micros`.
  size_t ReadyCount(int64_t micros) const;

 private:
  void ComputeTimes();

  Clock* clock_;
  SimDemuxOptions options_;
  TSRecording recording_;
  std::vector<int64_t> times_;  // replay time of each packet, microseconds
  std::atomic<int64_t> origin_{0};
};
