#include "stream/pmt_loader.h"

#include "common/log.h"

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

int PMTLoader::GetAllPIDs(int serviceId, int pmtPid) {
  // The scan proper arrives with the stream work; until then every scan fails
  // the way a missing PMT does, so the main loop already retries as it will.
  (void)serviceId;
  (void)pmtPid;
  ClearLists();
  return -1;
}

int PMTLoader::ParseTeletextDescriptor(const uint8_t*, int, int) { return 0; }

int PMTLoader::ParseSubtitlingDescriptor(const uint8_t*, int, int) { return 0; }

int PMTLoader::NormalizeLanguage(const std::string& in, std::string& out) {
  out = in;
  return 0;
}

int PMTLoader::FindDVBSubtitle(const std::string&, int&) {
  log("PMT::Looking for DVB Subtiles...\n");
  return 0;
}

int PMTLoader::FindTXTSubtitle(const std::string&, int, int&, int&) {
  log("PMT::Looking for TXT Subtiles...\n");
  return 0;
}
