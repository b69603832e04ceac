#include "platform/platform.h"

#include "common/command_line.h"

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

void DeviceChoice::ApplyTo(Paths& paths) const {
  // The box's spelling: the standard device layer maps it to
  // /dev/dvb/adapterN/demuxM where the box's node does not exist.
  if (adapter >= 0 || demux >= 0) {
    paths.demux = "/dev/dvb/card" + std::to_string(adapter < 0 ? 0 : adapter) + "/demux" +
                  std::to_string(demux < 0 ? 0 : demux);
  }
  if (!framebuffer.empty()) paths.framebuffer = framebuffer;
}

void DeviceChoice::Complete(const DeviceChoice& other) {
  if (adapter < 0) adapter = other.adapter;
  if (demux < 0) demux = other.demux;
  if (framebuffer.empty()) framebuffer = other.framebuffer;
}

bool DeviceChoice::ParseNumber(const char* text, int& out) {
  long long n = 0;
  if (text == nullptr || !cli::ToInt(text, 0, kMaxNumber, n)) return false;
  out = static_cast<int>(n);
  return true;
}
