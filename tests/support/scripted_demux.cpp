#include "support/scripted_demux.h"

#include <dirent.h>

#include <chrono>
#include <thread>

namespace {
int ProcessThreadCount() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
  closedir(dir);
  return n;
}
}  // namespace

bool ThreadCountReturnsTo(int expected) {
#ifdef ZUVA_UNDER_EMULATOR
  (void)expected;
  return true;
#else
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ProcessThreadCount() != expected) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
#endif
}

int BaselineThreadCount() {
  std::thread([] {}).join();
  return ProcessThreadCount();
}
