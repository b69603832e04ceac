#include "teletext/txt_subtitle.h"

#include "common/log.h"

TXTSubtitle::TXTSubtitle() { log("TXTSubtitle created.\n"); }

TXTSubtitle::~TXTSubtitle() = default;

uint32_t TXTSubtitle::processPES(const PESPacket&) { return 0; }

uint32_t TXTSubtitle::clear(const int64_t&) { return 0; }

void TXTSubtitle::configure(int) {}

int TXTSubtitle::stop() { return 0; }
