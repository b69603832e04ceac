#pragma once

#include <string>

#include "platform/platform.h"

// The identifiers of one service as its PAT and PMT on the demultiplexer give
// them: what the box's plugin knows when it writes the status file.
struct ServicePids {
  int pmtPid = -1;
  int vpid = 0;  // 0: the PMT names no such stream
  int apid = 0;
  int tpid = 0;
};

enum class ServiceScan {
  Ok,
  NoDevice,  // the demultiplexer cannot be opened or filtered
  NoPat,     // no PAT arrived within the section time-out
  NotInPat,  // the PAT does not list the service
  NoPmt,     // the service's PMT did not arrive
};

// Reads the PAT and the PMT of `serviceId` through the platform's device layer
// with the daemon's own section filter. The first video stream, the first
// audio stream and the first stream with a teletext descriptor are taken.
ServiceScan ReadServicePids(const Platform& platform, int serviceId, ServicePids& out);
