// zuva-status: writes the zuva daemon's status file for a service, as the
// box's plugin does, so that zuva follows a tuner on a Linux PC. See --help.

#include <cstdio>

#include "app/status_tool.h"
#include "common/log.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"

int main(int argc, char** argv) {
  // The same device layer as the daemon's: the box's driver, or the standard
  // Linux DVB API behind the translating layer. Its choice is logged for the
  // daemon's log; here it would only be noise.
  LinuxDvbIO standardIO(PassthroughDeviceIO::Instance());
  Platform platform = Platform::Default();
  std::string demuxName;
  {
    LogCapture quiet;
    platform.io = SelectDeviceIO(platform.paths, PassthroughDeviceIO::Instance(), &standardIO);
    demuxName = platform.io == &standardIO ? LinuxDvbIO::MapPath(platform.paths.demux)
                                           : platform.paths.demux;
  }
  return RunStatusTool(argc, argv, platform, demuxName, stdout, stderr);
}
