// PAT and PMT sections through the scan: PMTLoader::GetAllPIDs on a
// demultiplexer that answers each read with bytes chosen by the fuzzer, as a
// broken driver or a lying section might.
//
// Input: service id (2 bytes, big-endian), PMT PID (2 bytes, big-endian,
// signed), then the replies to the reads in order (PAT first, then one per
// PMT read): each a 2-byte big-endian length and that many bytes; the length
// 0xFFFF makes that read fail. The last reply may be cut short by the end of
// the input. Reads beyond the replies time out.

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "stream/pmt_loader.h"
#include "support/scripted_demux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  if (size < 4) return 0;
  const int serviceId = (data[0] << 8) | data[1];
  const int pmtPid = static_cast<int16_t>((data[2] << 8) | data[3]);

  ScriptedDemux demux;
  size_t at = 4;
  while (at < size) {
    size_t length = size - at >= 2 ? (static_cast<size_t>(data[at]) << 8) | data[at + 1] : 0;
    at += size - at >= 2 ? 2 : size - at;
    if (length == 0xFFFF) {
      demux.AddError(EIO);
      continue;
    }
    if (length > size - at) length = size - at;
    demux.Add(std::vector<uint8_t>(data + at, data + at + length));
    at += length;
  }

  SimDeviceIO io;
  Platform platform;
  platform.paths = Paths::Under(fuzz::Scratch().Path());
  platform.io = &io;
  io.Attach(platform.paths.demux, &demux);

  PMTLoader loader(platform);
  const int count = loader.GetAllPIDs(serviceId, pmtPid);
  FUZZ_CHECK(count >= -1);
  FUZZ_CHECK(io.OpenHandles() == 0);

  for (const TXTSubtitleInfo* info : loader.TxtSubtitles()) {
    FUZZ_CHECK(info->type == 2 || info->type == 5);
    FUZZ_CHECK(info->page >= 0x100 && info->page <= 0x8FF);
    FUZZ_CHECK(info->pid >= 0 && info->pid <= 0x1FFF);
    FUZZ_CHECK(info->language.size() == 3);
    int pid = -1, page = -1;
    FUZZ_CHECK(loader.FindTXTSubtitle(info->language, info->type, pid, page) == 1);
  }
  for (const DVBSubtitleInfo* info : loader.DvbSubtitles()) {
    FUZZ_CHECK(info->pid >= 0 && info->pid <= 0x1FFF);
    FUZZ_CHECK(info->language.size() == 3);
    int pid = -1;
    FUZZ_CHECK(loader.FindDVBSubtitle(info->language, pid) == 1);
  }
  // Descriptors are counted, records may be more or fewer; but nothing is
  // recorded without a descriptor being counted.
  if (count <= 0) FUZZ_CHECK(loader.TxtSubtitles().empty() && loader.DvbSubtitles().empty());

  // A rescan without a PMT PID empties both lists.
  FUZZ_CHECK(loader.GetAllPIDs(serviceId, -1) == -1);
  FUZZ_CHECK(loader.TxtSubtitles().empty() && loader.DvbSubtitles().empty());
  return 0;
}
