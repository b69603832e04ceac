#include "support/scripted_demux.h"

#include <chrono>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "stream/pmt_loader.h"

class ScriptedDemux::Handle : public SimHandle {
 public:
  explicit Handle(ScriptedDemux* device) : device_(device) {}
  ssize_t Read(void* buffer, size_t count) override { return device_->Read(buffer, count); }
  int Ioctl(unsigned long request, void* arg) override { return device_->Ioctl(request, arg); }

 private:
  ScriptedDemux* device_;
};

std::shared_ptr<SimHandle> ScriptedDemux::Open(int flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  openFlags_.push_back(flags);
  return std::make_shared<Handle>(this);
}

void ScriptedDemux::PushRead(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(bytes));
  emptyMarks_.push_back(false);
}

void ScriptedDemux::PushEmptyRead() {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.emplace_back();
  emptyMarks_.push_back(true);
}

void ScriptedDemux::SetSource(std::function<size_t(uint8_t*, size_t)> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  source_ = std::move(source);
}

ssize_t ScriptedDemux::Read(void* buffer, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  reads_.fetch_add(1);
  if (script_.empty()) {
    if (source_) {
      const size_t n = source_(static_cast<uint8_t*>(buffer), count);
      if (n > 0) return static_cast<ssize_t>(std::min(n, count));
    }
    emptyReads_.fetch_add(1);
    errno = EAGAIN;
    return -1;
  }
  if (emptyMarks_.front()) {
    script_.pop_front();
    emptyMarks_.pop_front();
    return 0;
  }
  std::vector<uint8_t>& front = script_.front();
  const size_t n = std::min(count, front.size());
  std::memcpy(buffer, front.data(), n);
  if (n == front.size()) {
    script_.pop_front();
    emptyMarks_.pop_front();
  } else {
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return static_cast<ssize_t>(n);
}

int ScriptedDemux::Ioctl(unsigned long request, void* arg) {
  Request record{request, 0, {}};
  if (request == DMX_SET_BUFFERSIZE) record.number = reinterpret_cast<uintptr_t>(arg);
  if (request == DMX_SET_PES_FILTER && arg != nullptr) {
    std::memcpy(&record.filter, arg, sizeof record.filter);
  }
  if (request != DMX_GET_STC) {
    // The clock is asked several times a pass; keeping those would only
    // grow the record without telling a test anything.
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(record);
  }
  switch (request) {
    case DMX_SET_BUFFERSIZE:
    case DMX_SET_PES_FILTER:
    case DMX_STOP:
      return 0;
    case DMX_GET_STC: {
      if (stcFails_.load()) {
        errno = EIO;
        return -1;
      }
      auto* stc = static_cast<STCRequest*>(arg);
      stc->stc = static_cast<uint64_t>(stc_.load());
      return 0;
    }
    default:
      errno = EINVAL;
      return -1;
  }
}

std::vector<int> ScriptedDemux::OpenFlags() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openFlags_;
}

std::vector<ScriptedDemux::Request> ScriptedDemux::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int ScriptedDemux::CountRequests(unsigned long request) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                        [&](const Request& r) { return r.request == request; }));
}

bool ScriptedDemux::ScriptEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_.empty();
}

int ProcessThreadCount() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

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
