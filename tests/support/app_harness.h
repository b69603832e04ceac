#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/application.h"
#include "sim/replay.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

// An Application whose files live in a temporary directory and whose main
// loop runs on a StepClock: `onCycle` runs at the start of every cycle (inside
// the loop's sleep) with the cycle number, and may stop the loop.
struct AppHarness {
  TempDir dir;
  Platform platform;
  std::function<void(int cycle)> onCycle;
  StepClock clock{[this](StepClock& c) {
    if (onCycle) onCycle(c.Cycles());
  }};
  std::unique_ptr<Application> app;

  AppHarness() {
    platform.paths = Paths::Under(dir.Path());
    platform.clock = &clock;
  }

  Application& Make() {
    app = std::make_unique<Application>(platform);
    return *app;
  }
};

// Occurrences of `needle` in `text`.
inline int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A replay on the virtual clock, as fast as the daemon's own sleeps allow, its
// log kept and not printed.
inline replay::Options Play(const std::string& recording, int service = -1) {
  replay::Options o;
  o.recording = recording;
  o.service = service;
  o.speed = 0;
  o.logOut = nullptr;
  o.keepLog = true;
  return o;
}
