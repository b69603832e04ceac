#include "dvbsub/dvb_subtitle.h"

#include "common/log.h"

DVBSubtitle::DVBSubtitle() { log("DVBSubtitle created.\n"); }

DVBSubtitle::~DVBSubtitle() = default;

uint32_t DVBSubtitle::processPES(const PESPacket&) { return 0; }

uint32_t DVBSubtitle::clear(const int64_t&) { return 0; }

int DVBSubtitle::configure() { return 0; }

int DVBSubtitle::stop() {
  log("Stop DVBSubtitle\n");
  return 0;
}
