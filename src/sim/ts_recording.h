#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A recorded MPEG transport stream held in memory as whole 188-byte packets,
// each with its place in the recording's own time (90 kHz ticks).
//
// Places come from the PCR when the recording has one: the PID with the most
// PCRs is the clock, and packets between two PCRs are placed by interpolating
// over their position in the file. A recording without PCR is placed by the
// PTS of the PES stream with the most time-stamped packets in the same way.
// Every other packet (PSI, other streams) takes the place of the data around
// it. Places never decrease along the file, are unwrapped across the 33-bit
// roll-over and hold at the first and last time stamp outside them. A
// recording without any time stamp has every packet at place 0.
class TSRecording {
 public:
  static constexpr size_t kPacketSize = 188;

  // Reads a whole recording. Bytes between packets that do not start with the
  // sync byte are skipped, so a damaged or 192-byte-packet file still loads.
  // False, with a reason in `error`, when the file cannot be read or holds no
  // packet at all.
  bool Load(const std::string& path, std::string* error);
  bool LoadBytes(const std::vector<uint8_t>& bytes, std::string* error);

  size_t PacketCount() const { return places_.size(); }
  const uint8_t* Packet(size_t index) const { return data_.data() + index * kPacketSize; }
  uint16_t Pid(size_t index) const;
  int64_t Place(size_t index) const { return places_[index]; }
  // Indices of the packets of one PID in file order (empty for an absent PID).
  const std::vector<uint32_t>& PacketsOf(uint16_t pid) const;
  // The place of the first packet, as a 33-bit clock value.
  int64_t FirstTimestamp() const { return places_.empty() ? 0 : places_.front(); }
  bool HasPCR() const { return hasPcr_; }
  // Bytes skipped while looking for packet boundaries.
  size_t SkippedBytes() const { return skipped_; }

 private:
  void ComputePlaces();

  std::vector<uint8_t> data_;
  std::vector<int64_t> places_;
  std::map<uint16_t, std::vector<uint32_t>> byPid_;
  bool hasPcr_ = false;
  size_t skipped_ = 0;
};

// The 33-bit PCR base of a TS packet in 90 kHz ticks, or -1 without a PCR.
int64_t PacketPCR(const uint8_t* packet);
// The PTS of the PES packet starting in this TS packet, or -1 when the packet
// starts none or its header carries no PTS.
int64_t PacketPTS(const uint8_t* packet);
// Offset of the payload in a TS packet and its size; false without payload
// (adaptation field only, reserved control value, or a lying field length).
bool PacketPayload(const uint8_t* packet, size_t* offset, size_t* size);
