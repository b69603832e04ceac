#include "platform/platform.h"

Paths Paths::Under(const std::string& dir) {
  Paths p;
  p.statusFile = dir + "/ZUVA.tmp";
  p.disableFlag = dir + "/.ZUVA_Disable";
  p.reloadFlag = dir + "/.ZUVA_Reload";
  p.settings = dir + "/zuva.conf";
  p.channels = dir + "/zuva.channels";
  p.translation = dir + "/zuva.translation";
  p.demux = dir + "/demux0";
  p.framebuffer = dir + "/fb0";
  return p;
}
