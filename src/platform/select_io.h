#pragma once

#include <string>

#include "platform/device_io.h"
#include "platform/platform.h"

// The demultiplexer interfaces the daemon can drive.
enum class DeviceApi {
  Box,          // the box's own driver, spoken directly
  StandardDvb,  // the standard Linux DVB API, through LinuxDvbIO
};

// Which interface this machine offers: the standard one only when the box's
// demultiplexer node is missing and the standard node exists; the box's
// otherwise (also when neither exists, so the daemon's own open reports it).
// `root` is prepended to the device paths; empty for the real filesystem.
DeviceApi DetectDeviceApi(const Paths& paths, const std::string& root = "");

// Returns `box` or `standard` according to DetectDeviceApi and logs the
// choice in one line.
DeviceIO* SelectDeviceIO(const Paths& paths, DeviceIO* box, DeviceIO* standard,
                         const std::string& root = "");
