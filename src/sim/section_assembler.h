#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Rebuilds the PSI sections of one PID from its TS packets: pointer fields,
// sections spanning packets, several sections in one packet and 0xFF stuffing
// after the last one. A continuity error, a damaged pointer field or a
// transport error drops the section in progress; reassembly resumes at the
// next packet that starts a section. Sections are handed out whole, unchecked.
class SectionAssembler {
 public:
  using Sink = std::function<void(const uint8_t* section, size_t length)>;

  // Feeds one 188-byte TS packet of this PID.
  void Push(const uint8_t* packet, const Sink& sink);
  void Reset();

  // Sections dropped because packets were missing or damaged.
  int Dropped() const { return dropped_; }

 private:
  // Takes bytes of the payload into the current section, emitting every
  // section completed; stops at stuffing.
  void Take(const uint8_t* data, size_t size, const Sink& sink);
  void Drop();

  std::vector<uint8_t> partial_;
  bool collecting_ = false;
  int lastCc_ = -1;
  int dropped_ = 0;
};
