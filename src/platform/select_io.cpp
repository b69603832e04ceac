#include "platform/select_io.h"

#include <unistd.h>

#include "common/log.h"
#include "platform/linux_dvb_io.h"

namespace {
bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
}  // namespace

DeviceApi DetectDeviceApi(const Paths& paths, const std::string& root) {
  const std::string standard = LinuxDvbIO::MapPath(paths.demux);
  if (standard == paths.demux) return DeviceApi::Box;  // nothing to translate to
  if (Exists(root + paths.demux)) return DeviceApi::Box;
  return Exists(root + standard) ? DeviceApi::StandardDvb : DeviceApi::Box;
}

DeviceIO* SelectDeviceIO(const Paths& paths, DeviceIO* box, DeviceIO* standard,
                         const std::string& root) {
  if (DetectDeviceApi(paths, root) == DeviceApi::StandardDvb) {
    log("Device I/O: standard Linux DVB API on %s and %s\n",
        LinuxDvbIO::MapPath(paths.demux).c_str(), LinuxDvbIO::MapPath(paths.framebuffer).c_str());
    return standard;
  }
  log("Device I/O: box driver on %s and %s\n", paths.demux.c_str(), paths.framebuffer.c_str());
  return box;
}
