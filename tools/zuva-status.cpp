// zuva-status: writes the zuva daemon's status file for a service, as the
// box's plugin does, so that zuva follows a tuner on a Linux PC. See --help.

#include <cstdio>

#include "app/status_tool.h"
#include "common/log.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"

int main(int argc, char** argv) {
  // The same device layer as the daemon's: the box's driver, or the standard
  // Linux DVB API behind the translating layer, for the demultiplexer the
  // options name. Its choice is logged for the daemon's log; here it would
  // only be noise.
  LinuxDvbIO standardIO(PassthroughDeviceIO::Instance());
  const auto select = [&standardIO](const Paths& paths) {
    LogCapture quiet;
    return SelectDeviceIO(paths, PassthroughDeviceIO::Instance(), &standardIO);
  };
  return RunStatusTool(argc, argv, Platform::Default(), stdout, stderr, select);
}
