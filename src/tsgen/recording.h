#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds a transport stream recording the way a broadcaster's multiplexer
// would send it: PSI tables repeated at a fixed period, optional PCR packets,
// and timed PES packets of any number of PIDs, all in order of their send
// time. Example:
//
//   tsgen::RecordingBuilder b;
//   b.AddTable(0x0000, tsgen::BuildPAT(1, {{100, 0x100}}));
//   b.AddTable(0x0100, tsgen::BuildPMT(100, 0x1FFF, {}, streams));
//   b.AddPES(0x0200, pts - 45000, tsgen::BuildPES(0xBD, pts, payload, 0x24));
//   b.WriteFile("demo.ts", &error);
//
// Times are 90 kHz ticks. A PES packet's send time is when its first byte is
// on air; it is usually its PTS minus a lead of some hundred milliseconds.
namespace tsgen {

class RecordingBuilder {
 public:
  // A section sent on `pid` once per table period, from the start time on.
  void AddTable(uint16_t pid, std::vector<uint8_t> section);
  // Period of the tables (and of the PCR unless set apart); default 100 ms.
  void SetTablePeriod(int64_t ticks) { tablePeriod_ = ticks > 0 ? ticks : 1; }
  // Period of the PCR packets when it differs from the tables'.
  void SetPCRPeriod(int64_t ticks) { pcrPeriod_ = ticks > 0 ? ticks : 1; }
  // Sends adaptation-only packets with a PCR equal to their send time on
  // `pid` once per table period. Without it the recording has no PCR.
  void EnablePCR(uint16_t pid) { pcrPid_ = pid; }
  // A whole PES packet (start code on) sent on `pid` at `sendTime`.
  void AddPES(uint16_t pid, int64_t sendTime, std::vector<uint8_t> pes);
  // First table and PCR time; default: the earliest PES send time, or 0.
  void SetStartTime(int64_t ticks) {
    startTime_ = ticks;
    hasStart_ = true;
  }

  // Last table and PCR time; default: the last PES send time.
  void SetEndTime(int64_t ticks) {
    endTime_ = ticks;
    hasEnd_ = true;
  }

  // The recording: from the start time to the end time, with at least one
  // round of tables. PES packets sent before the start time are left out. Packets sharing a send time keep this order:
  // tables, PCR, PES in the order they were added.
  std::vector<uint8_t> Build() const;
  bool WriteFile(const std::string& path, std::string* error) const;

 private:
  struct Table {
    uint16_t pid;
    std::vector<uint8_t> section;
  };
  struct PES {
    uint16_t pid;
    int64_t time;
    std::vector<uint8_t> bytes;
  };

  std::vector<Table> tables_;
  std::vector<PES> pes_;
  int64_t tablePeriod_ = 9000;
  int64_t pcrPeriod_ = 0;  // 0: the table period
  int pcrPid_ = -1;
  int64_t startTime_ = 0;
  bool hasStart_ = false;
  int64_t endTime_ = 0;
  bool hasEnd_ = false;
};

}  // namespace tsgen
