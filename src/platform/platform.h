#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/device_io.h"

// Every file and device path the daemon touches. The defaults are the box's.
struct Paths {
  std::string statusFile = "/tmp/ZUVA.tmp";
  std::string disableFlag = "/tmp/.ZUVA_Disable";
  std::string reloadFlag = "/tmp/.ZUVA_Reload";
  std::string settings = "/var/tuxbox/config/zuva/zuva.conf";
  std::string channels = "/var/tuxbox/config/zuva/zuva.channels";
  std::string translation = "/var/tuxbox/config/zuva/zuva.translation";
  std::string demux = "/dev/dvb/card0/demux0";
  std::string framebuffer = "/dev/fb/0";

  // All files and devices under one directory, named as on the box; for tests
  // and tools that must not touch the real paths.
  static Paths Under(const std::string& dir);
};

// The devices a user picks instead of the box's (options or settings):
// demultiplexer `demux` of adapter `adapter`, and a framebuffer node. Unset
// parts keep what the paths had; a number given alone takes 0 for the other.
struct DeviceChoice {
  static constexpr int kMaxNumber = 255;
  int adapter = -1;
  int demux = -1;
  std::string framebuffer;

  void ApplyTo(Paths& paths) const;
  // Fills what is still unset from `other`.
  void Complete(const DeviceChoice& other);
  // A number for --adapter or --demux: 0 to kMaxNumber.
  static bool ParseNumber(const char* text, int& out);
};

// The three seams handed to the Application and, from it, to its members.
// The pointers are not owned and must outlive everything built with them.
struct Platform {
  DeviceIO* io = PassthroughDeviceIO::Instance();
  Clock* clock = RealClock::Instance();
  Paths paths;

  // Passthrough devices, real time, the box's paths.
  static Platform Default() { return Platform(); }
};
