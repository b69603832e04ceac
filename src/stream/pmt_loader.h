#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "platform/box_dmx.h"
#include "platform/platform.h"

// One teletext subtitle page announced in a PMT.
struct TXTSubtitleInfo {
  int32_t type = 0;
  int32_t pid = 0;
  int32_t serviceId = 0;
  std::string language;
  int32_t page = 0;
};

// One entry of a subtitling descriptor in a PMT.
struct DVBSubtitleInfo {
  int32_t type = 0;
  int32_t pid = 0;
  int32_t serviceId = 0;
  std::string language;
  int32_t ancillaryPageId = 0;
  int32_t compositionPageId = 0;
};

// PAT and PMT sections never exceed this, header and CRC included.
constexpr size_t kSectionBufferSize = 1024;

// The daemon's section filter: one table ID on one PID, CRC checked, one
// section, a five-second time-out.
void FillSectionFilter(SectionFilterParams& params, uint16_t pid, uint8_t tableId);

// The length a PAT or PMT section of which `bytes` were read claims (0 when
// too few bytes arrived to hold it), and whether the section is whole: it
// claims at least `minimum` bytes (its header and CRC) and all of them came.
int SectionLength(const uint8_t* section, ssize_t bytes);
bool SectionIsWhole(int length, ssize_t bytes, int minimum);

// Reads the PAT and the service's PMT and records its subtitle streams.
class PMTLoader {
 public:
  explicit PMTLoader(const Platform& platform = Platform::Default());
  PMTLoader(const PMTLoader&) = delete;
  PMTLoader& operator=(const PMTLoader&) = delete;
  virtual ~PMTLoader();

  // Count of teletext and subtitling descriptors found; 0 when the device or
  // the PAT filter is unusable; -1 without a PMT PID or when the PAT read fails.
  int GetAllPIDs(int serviceId, int pmtPid);

  // The descriptor at `descriptor` (its tag byte) is trusted to be whole: its
  // own length byte says how far it reaches.
  int ParseTeletextDescriptor(const uint8_t* descriptor, int pid, int serviceId);
  int ParseSubtitlingDescriptor(const uint8_t* descriptor, int pid, int serviceId);
  // The same, reading no more than `available` bytes from `descriptor`: only
  // entries that lie wholly inside both the descriptor and those bytes count.
  int ParseTeletextDescriptor(const uint8_t* descriptor, int pid, int serviceId,
                              size_t available);
  int ParseSubtitlingDescriptor(const uint8_t* descriptor, int pid, int serviceId,
                                size_t available);
  int NormalizeLanguage(const std::string& in, std::string& out);
  int FindDVBSubtitle(const std::string& language, int& pid);
  int FindTXTSubtitle(const std::string& language, int type, int& pid, int& page);

  const std::list<TXTSubtitleInfo*>& TxtSubtitles() const { return txtSubtitles; }
  const std::list<DVBSubtitleInfo*>& DvbSubtitles() const { return dvbSubtitles; }

 private:
  void ClearLists();
  // Walks one PMT section of `length` bytes as read; returns the number of
  // subtitle descriptors handed to the parsers.
  int ParsePMTSection(const uint8_t* section, size_t length);

  std::list<TXTSubtitleInfo*> txtSubtitles;
  std::list<DVBSubtitleInfo*> dvbSubtitles;
  Platform platform_;
};
