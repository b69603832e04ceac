#include "stream/pmt_loader.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"

namespace {
constexpr uint32_t kSectionTimeoutMs = 5000;
constexpr uint32_t kSectionFlags = boxdmx::kCheckCRC | boxdmx::kOneShot | boxdmx::kImmediateStart;

// Lower-cases the three language bytes of a descriptor entry the way the box
// always has: setting bit 5 folds ASCII letters and keeps the length at three.
std::string LanguageOf(const uint8_t* entry) {
  std::string code(3, ' ');
  for (int k = 0; k < 3; ++k) code[k] = static_cast<char>(entry[k] | 0x20);
  return code;
}

// Number of whole entries of `entrySize` bytes a descriptor holds, counting only
// bytes that are both claimed by its length and actually there.
size_t EntryCount(const uint8_t* descriptor, size_t available, size_t entrySize) {
  if (descriptor == nullptr || available < 2) return 0;
  size_t body = descriptor[1];
  if (body > available - 2) body = available - 2;
  return body / entrySize;
}
}  // namespace

PMTLoader::PMTLoader(const Platform& platform) : platform_(platform) {
  log("PMTLoader created.\n");
}

PMTLoader::~PMTLoader() { ClearLists(); }

void PMTLoader::ClearLists() {
  for (TXTSubtitleInfo* info : txtSubtitles) delete info;
  txtSubtitles.clear();
  for (DVBSubtitleInfo* info : dvbSubtitles) delete info;
  dvbSubtitles.clear();
}

int SectionLength(const uint8_t* section, ssize_t bytes) {
  return bytes >= 3 ? ((section[1] & 0x0F) << 8) | section[2] : 0;
}

bool SectionIsWhole(int length, ssize_t bytes, int minimum) {
  return length >= minimum && bytes >= 3 + length;
}

void FillSectionFilter(SectionFilterParams& params, uint16_t pid, uint8_t tableId) {
  std::memset(&params, 0, sizeof params);
  params.pid = pid;
  params.filter[0] = tableId;
  params.mask[0] = 0xFF;
  params.timeout = kSectionTimeoutMs;
  params.flags = kSectionFlags;
}

int PMTLoader::GetAllPIDs(int serviceId, int pmtPid) {
  ClearLists();
  if (pmtPid < 1) return -1;

  log("Scan stream for subtitles using PAT, PMT...\n");
  log("SearchSID:0x%04x  SearchPMT:0x%04x \n", serviceId, pmtPid);
  log("Using DemuxDevice: %s\n", platform_.paths.demux.c_str());

  DeviceIO* io = platform_.io;
  const int fd = io->Open(platform_.paths.demux.c_str(), O_RDWR);
  if (fd < 0) {
    const int err = errno;
    log("Error open(DMX)\n");
    LogOpenError(*io, platform_.paths.demux, err);
    return 0;
  }

  SectionFilterParams params;
  FillSectionFilter(params, 0, 0x00);
  if (io->Ioctl(fd, DMX_SET_FILTER, &params) < 0) {
    log("Error ioctl(DMX_SET_FILTER PAT)\n");
    io->Ioctl(fd, DMX_STOP, nullptr);
    io->Close(fd);
    return 0;
  }

  uint8_t pat[kSectionBufferSize];
  const ssize_t patBytes = io->Read(fd, pat, sizeof pat);
  if (patBytes == -1) {
    log("Error read(PAT)\n");
    io->Ioctl(fd, DMX_STOP, nullptr);
    io->Close(fd);
    return -1;
  }

  int count = 0;
  // A PAT too short for its header and CRC, or shorter than it claims, is
  // treated as carrying no programs: reading on would run past what arrived.
  const int patLength = SectionLength(pat, patBytes);
  if (!SectionIsWhole(patLength, patBytes, 9)) {
    log("Damaged PAT section ignored (%d bytes read, section length %d)\n",
        static_cast<int>(patBytes), patLength);
  } else {
    uint8_t pmt[kSectionBufferSize];
    // Entries end where the CRC begins (offset L - 1).
    for (int offset = 8; offset + 4 <= patLength - 1; offset += 4) {
      const uint8_t* entry = pat + offset;
      const int programNumber = (entry[0] << 8) | entry[1];
      if (programNumber == 0) continue;  // the network PID
      const int pid = ((entry[2] << 8) | entry[3]) & 0x1FFF;
      if (pid != pmtPid && programNumber != serviceId) continue;

      FillSectionFilter(params, static_cast<uint16_t>(pid), 0x02);
      if (io->Ioctl(fd, DMX_SET_FILTER, &params) < 0) {
        log("Error ioctl(DMX_SET_FILTER PMT)\n");
        continue;
      }
      const ssize_t pmtBytes = io->Read(fd, pmt, sizeof pmt);
      if (pmtBytes == -1) {
        log("Error read(PMT)\n");
        io->Ioctl(fd, DMX_STOP, nullptr);
        continue;
      }
      count += ParsePMTSection(pmt, pmtBytes < 0 ? 0 : static_cast<size_t>(pmtBytes));
    }
  }

  io->Ioctl(fd, DMX_STOP, nullptr);
  io->Close(fd);
  return count;
}

int PMTLoader::ParsePMTSection(const uint8_t* section, size_t length) {
  const int sectionLength = SectionLength(section, static_cast<ssize_t>(length));
  if (!SectionIsWhole(sectionLength, static_cast<ssize_t>(length), 13)) {
    log("Damaged PMT section ignored (%d bytes read, section length %d)\n",
        static_cast<int>(length), sectionLength);
    return 0;
  }
  const int programNumber = (section[3] << 8) | section[4];
  const int programInfoLength = ((section[10] & 0x0F) << 8) | section[11];
  const int crcStart = sectionLength - 1;
  if (12 + programInfoLength > crcStart) {
    log("PMT program info overruns the section, no streams read\n");
    return 0;
  }

  int count = 0;
  int i = 12 + programInfoLength;
  while (i < sectionLength - 7) {
    const int streamType = section[i];
    const int pid = ((section[i + 1] & 0x1F) << 8) | section[i + 2];
    const int esInfoLength = ((section[i + 3] & 0x0F) << 8) | section[i + 4];
    const int entryEnd = i + 5 + esInfoLength;
    if (entryEnd > crcStart) {
      log("PMT stream entry for PID 0x%x overruns the section, rest ignored\n", pid);
      break;
    }
    if (streamType == 0x06) {
      int j = i + 5;
      while (j < entryEnd) {
        const int tag = section[j];
        const int descriptorEnd = j + 2 + (j + 1 < entryEnd ? section[j + 1] : 0);
        if (j + 2 > entryEnd || descriptorEnd > entryEnd) {
          log("PMT descriptor for PID 0x%x overruns its stream entry, rest ignored\n", pid);
          break;
        }
        const size_t available = static_cast<size_t>(descriptorEnd - j);
        if (tag == 0x56) {
          ++count;
          ParseTeletextDescriptor(section + j, pid, programNumber, available);
        } else if (tag == 0x59) {
          ++count;
          ParseSubtitlingDescriptor(section + j, pid, programNumber, available);
        }
        j = descriptorEnd;
      }
    }
    i = entryEnd;
  }
  return count;
}

int PMTLoader::ParseTeletextDescriptor(const uint8_t* descriptor, int pid, int serviceId) {
  if (descriptor == nullptr) return 0;
  return ParseTeletextDescriptor(descriptor, pid, serviceId, 2u + descriptor[1]);
}

int PMTLoader::ParseTeletextDescriptor(const uint8_t* descriptor, int pid, int serviceId,
                                       size_t available) {
  const size_t entries = EntryCount(descriptor, available, 5);
  for (size_t k = 0; k < entries; ++k) {
    const uint8_t* entry = descriptor + 2 + 5 * k;
    const int type = entry[3] >> 3;
    if (type != 2 && type != 5) continue;

    TXTSubtitleInfo* info = new TXTSubtitleInfo;
    info->type = type;
    info->pid = pid;
    info->serviceId = serviceId;
    NormalizeLanguage(LanguageOf(entry), info->language);

    int page = ((entry[3] & 0x07) << 8) | entry[4];
    // Magazine 8 travels as magazine 0.
    if (page <= 0xFF) page += 0x800;
    // Some broadcasters announce their subtitle pages one digit off; the pages
    // actually sent are 888 and 889.
    if (page == 0x858) {
      log("   WARNING! Changed page from 858 to 888...\n");
      page = 0x888;
    }
    if (page == 0x859) {
      log("   WARNING! Changed page from 859 to 889...\n");
      page = 0x889;
    }
    info->page = page;

    log("   TXT-Subtitle: ServiceID=0x%04x PID=0x%x\n", serviceId, pid);
    log("           Lang: %s\n", info->language.c_str());
    log("           Type: %d\n", info->type);
    log("           Page: %x\n", info->page);
    txtSubtitles.push_front(info);
  }
  return 0;
}

int PMTLoader::ParseSubtitlingDescriptor(const uint8_t* descriptor, int pid, int serviceId) {
  if (descriptor == nullptr) return 0;
  return ParseSubtitlingDescriptor(descriptor, pid, serviceId, 2u + descriptor[1]);
}

int PMTLoader::ParseSubtitlingDescriptor(const uint8_t* descriptor, int pid, int serviceId,
                                         size_t available) {
  const size_t entries = EntryCount(descriptor, available, 8);
  for (size_t k = 0; k < entries; ++k) {
    const uint8_t* entry = descriptor + 2 + 8 * k;
    DVBSubtitleInfo* info = new DVBSubtitleInfo;
    info->pid = pid;
    info->serviceId = serviceId;
    NormalizeLanguage(LanguageOf(entry), info->language);
    info->type = entry[3];
    info->compositionPageId = (entry[4] << 8) | entry[5];
    info->ancillaryPageId = (entry[6] << 8) | entry[7];

    log("   DVB-Subtitle: ServiceID=0x%04x PID=0x%x\n", serviceId, pid);
    log("           Lang: %s\n", info->language.c_str());
    log("           Type: %d\n", info->type);
    log("           Comp: %x\n", info->compositionPageId);
    log("           ANCI: %x\n", info->ancillaryPageId);
    dvbSubtitles.push_front(info);
  }
  return 0;
}

int PMTLoader::NormalizeLanguage(const std::string& in, std::string& out) {
  // Broadcasters use both the bibliographic and the terminology codes; the
  // settings name languages by the bibliographic ones, so fold onto those.
  static const char* const kCanonical[][2] = {
      {"esl", "spa"}, {"esp", "spa"}, {"deu", "ger"}, {"fra", "fre"}, {"ces", "cze"},
      {"ell", "gre"}, {"hrv", "scr"}, {"ron", "rum"}, {"slk", "slo"}, {"srp", "scc"},
  };
  for (const auto& row : kCanonical) {
    if (in == row[0]) {
      out = row[1];
      return 0;
    }
  }
  out = in;
  return 0;
}

int PMTLoader::FindDVBSubtitle(const std::string& language, int& pid) {
  log("PMT::Looking for DVB Subtiles...\n");
  for (const DVBSubtitleInfo* info : dvbSubtitles) {
    if (info->language == language) {
      pid = info->pid;
      return 1;
    }
  }
  return 0;
}

int PMTLoader::FindTXTSubtitle(const std::string& language, int type, int& pid, int& page) {
  log("PMT::Looking for TXT Subtiles...\n");
  for (const TXTSubtitleInfo* info : txtSubtitles) {
    if (info->language == language && info->type == type) {
      pid = info->pid;
      page = info->page;
      return 1;
    }
  }
  return 0;
}
