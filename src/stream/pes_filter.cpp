#include "stream/pes_filter.h"

#include "common/log.h"

PESFilter::PESFilter(const Platform& platform) : platform_(platform) {
  log("PESFilter created.\n");
}

PESFilter::~PESFilter() {
  for (PESPacket* packet : queue) {
    delete[] packet->data;
    delete packet;
  }
}

bool PESFilter::Start(int pid, Subtitle* decoder_, int recDelay_) {
  // The reader thread arrives with the stream work.
  log("Filter starting: 0x%x\n", pid);
  decoder = decoder_;
  recDelay = recDelay_;
  return false;
}

bool PESFilter::Stop() {
  log("Stoping PESFilter thread.\n");
  log("Clean up PES queue.\n");
  return true;
}
