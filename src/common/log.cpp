#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
struct CaptureState {
  std::mutex mutex;
  bool active = false;
  std::string text;
  LogCapture::Sink sink = nullptr;
  void* context = nullptr;
};

CaptureState& State() {
  static CaptureState state;
  return state;
}
}  // namespace

int log(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);

  CaptureState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.active) {
      std::string line = "ZUVA: ";
      line += buffer;
      if (state.sink != nullptr) {
        state.sink(line.c_str(), state.context);
      } else {
        state.text += line;
      }
      return static_cast<int>(line.size());
    }
  }
  return fprintf(stderr, "ZUVA: %s", buffer);
}

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().active = true;
  State().text.clear();
  State().sink = nullptr;
  State().context = nullptr;
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().active = false;
  State().text.clear();
  State().sink = nullptr;
  State().context = nullptr;
}

std::string LogCapture::Text() const {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().text;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().text.clear();
}

void LogCapture::SetSink(Sink sink, void* context) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().sink = sink;
  State().context = context;
}
