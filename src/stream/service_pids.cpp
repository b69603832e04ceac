#include "stream/service_pids.h"

#include <fcntl.h>

#include <cstdint>

#include "stream/pmt_loader.h"

namespace {
// Another program's PMT may share the PID; the filter does not look at the
// program number, so a few sections are read before giving up.
constexpr int kPmtAttempts = 8;

bool IsVideo(int type) {
  switch (type) {
    case 0x01:
    case 0x02:
    case 0x10:
    case 0x1B:
    case 0x24:
    case 0x42:
      return true;
    default:
      return false;
  }
}

bool IsAudio(int type) {
  switch (type) {
    case 0x03:
    case 0x04:
    case 0x0F:
    case 0x11:
    case 0x81:
      return true;
    default:
      return false;
  }
}

// Reads the streams of one PMT section; false when it is not the service's.
bool ParsePmt(const uint8_t* s, int length, int serviceId, ServicePids& out) {
  if (((s[3] << 8) | s[4]) != serviceId) return false;
  const int crcStart = length - 1;  // offset of the CRC from the first byte
  int i = 12 + (((s[10] & 0x0F) << 8) | s[11]);
  while (i + 5 <= crcStart) {
    const int type = s[i];
    const int pid = ((s[i + 1] & 0x1F) << 8) | s[i + 2];
    const int end = i + 5 + (((s[i + 3] & 0x0F) << 8) | s[i + 4]);
    if (end > crcStart) break;
    bool teletext = false;
    bool audio = IsAudio(type);
    if (type == 0x06) {
      for (int j = i + 5; j + 2 <= end && j + 2 + s[j + 1] <= end; j += 2 + s[j + 1]) {
        // Teletext (EBU and VBI); AC-3, enhanced AC-3, DTS and AAC audio.
        teletext = teletext || s[j] == 0x56 || s[j] == 0x46;
        audio = audio || s[j] == 0x6A || s[j] == 0x7A || s[j] == 0x7B || s[j] == 0x7C;
      }
    }
    if (out.vpid == 0 && IsVideo(type)) out.vpid = pid;
    if (out.apid == 0 && audio) out.apid = pid;
    if (out.tpid == 0 && teletext) out.tpid = pid;
    i = end;
  }
  return true;
}
}  // namespace

ServiceScan ReadServicePids(const Platform& platform, int serviceId, ServicePids& out) {
  DeviceIO* io = platform.io;
  const int fd = io->Open(platform.paths.demux.c_str(), O_RDWR);
  if (fd < 0) return ServiceScan::NoDevice;
  auto finish = [&](ServiceScan result) {
    io->Ioctl(fd, DMX_STOP, nullptr);
    io->Close(fd);
    return result;
  };

  SectionFilterParams params;
  FillSectionFilter(params, 0, 0x00);
  if (io->Ioctl(fd, DMX_SET_FILTER, &params) < 0) return finish(ServiceScan::NoDevice);
  uint8_t section[kSectionBufferSize];
  const ssize_t patBytes = io->Read(fd, section, sizeof section);
  const int patLength = SectionLength(section, patBytes);
  if (!SectionIsWhole(patLength, patBytes, 9)) return finish(ServiceScan::NoPat);

  ServicePids found;
  for (int offset = 8; offset + 4 <= patLength - 1; offset += 4) {
    const uint8_t* entry = section + offset;
    if (((entry[0] << 8) | entry[1]) == serviceId && serviceId != 0) {
      found.pmtPid = ((entry[2] << 8) | entry[3]) & 0x1FFF;
      break;
    }
  }
  if (found.pmtPid < 0) return finish(ServiceScan::NotInPat);

  FillSectionFilter(params, static_cast<uint16_t>(found.pmtPid), 0x02);
  params.flags &= ~boxdmx::kOneShot;  // not one-shot: other programs' sections may come first
  if (io->Ioctl(fd, DMX_SET_FILTER, &params) < 0) return finish(ServiceScan::NoDevice);
  for (int attempt = 0; attempt < kPmtAttempts; ++attempt) {
    const ssize_t bytes = io->Read(fd, section, sizeof section);
    if (bytes < 0) break;
    const int length = SectionLength(section, bytes);
    if (SectionIsWhole(length, bytes, 13) && ParsePmt(section, length, serviceId, found)) {
      out = found;
      return finish(ServiceScan::Ok);
    }
  }
  return finish(ServiceScan::NoPmt);
}
