#include "support/scripted_demux.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/box_dmx.h"

class ScriptedDemux::Handle : public SimHandle {
 public:
  explicit Handle(ScriptedDemux* device) : device_(device) {}
  ssize_t Read(void* buffer, size_t count) override { return device_->Read(buffer, count); }
  int Ioctl(unsigned long request, void* arg) override { return device_->Ioctl(request, arg); }

 private:
  ScriptedDemux* device_;
};

std::shared_ptr<SimHandle> ScriptedDemux::Open(int) { return std::make_shared<Handle>(this); }

void ScriptedDemux::SetSource(std::function<size_t(uint8_t*, size_t)> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  source_ = std::move(source);
}

ssize_t ScriptedDemux::Read(void* buffer, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t n = source_ ? source_(static_cast<uint8_t*>(buffer), count) : 0;
  if (n == 0) return errno = EAGAIN, -1;
  return static_cast<ssize_t>(std::min(n, count));
}

int ScriptedDemux::Ioctl(unsigned long request, void* arg) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[request];
  }
  switch (request) {
    case DMX_SET_BUFFERSIZE:
    case DMX_SET_PES_FILTER:
    case DMX_STOP:
      return 0;
    case DMX_GET_STC:
      if (stcFails_.load()) return errno = EIO, -1;
      static_cast<STCRequest*>(arg)->stc = static_cast<uint64_t>(stc_.load());
      return 0;
    default:
      return errno = EINVAL, -1;
  }
}

int ScriptedDemux::CountRequests(unsigned long request) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = requests_.find(request);
  return it == requests_.end() ? 0 : it->second;
}

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
