#pragma once

// The box demultiplexer driver's contract: its request numbers and the records
// they carry, exactly as the daemon issues them. The stream classes speak
// this; the device layers either pass it through (the box's own driver), map
// it to the standard Linux DVB API, or serve it themselves (the simulator).
//
// The names match the kernel header's macros on purpose, as the box's driver
// headers do; code that needs both includes this header first and copies the
// values before <linux/dvb/dmx.h> redefines the names.

#include <cstdint>

constexpr unsigned long DMX_STOP = 0x80046F2AUL;
constexpr unsigned long DMX_SET_FILTER = 0x80046F2BUL;
constexpr unsigned long DMX_SET_PES_FILTER = 0x80046F2CUL;
constexpr unsigned long DMX_SET_BUFFERSIZE = 0x80046F2DUL;
constexpr unsigned long DMX_GET_STC = 0x40106F32UL;

namespace boxdmx {
// Flag bits of the filter records.
constexpr uint32_t kCheckCRC = 1;
constexpr uint32_t kOneShot = 2;
constexpr uint32_t kImmediateStart = 4;

// PESFilterParams fields as the daemon sets them.
constexpr uint32_t kInputFrontend = 0;
constexpr uint32_t kOutputTap = 1;    // the packets come to our own reads
constexpr uint32_t kPesTypeOther = 5;  // not routed to a hardware decoder
}  // namespace boxdmx

struct SectionFilterParams {
  uint16_t pid;
  uint8_t filter[16];
  uint8_t mask[16];
  uint8_t padding[2];
  uint32_t timeout;
  uint32_t flags;
};
static_assert(sizeof(SectionFilterParams) == 44, "section filter record is 44 bytes");

struct PESFilterParams {
  uint16_t pid;
  uint8_t padding[2];
  uint32_t input;
  uint32_t output;
  uint32_t pesType;
  uint32_t flags;
};
static_assert(sizeof(PESFilterParams) == 20, "PES filter record is 20 bytes");

struct STCRequest {
  uint32_t num;
  uint32_t base;
  uint64_t stc;
};
static_assert(sizeof(STCRequest) == 16, "STC record is 16 bytes");
