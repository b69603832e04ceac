#pragma once

#include <string>

// The daemon's one logging function: printf-style into a 1024-byte buffer
// (longer text is cut to 1023 characters), written to standard error as
// "ZUVA: <text>". It adds no newline; every message brings its own. Any thread
// may call it. It overloads the C library's log(double) by its argument types.
int log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Redirects the log into a string while it exists, instead of standard error.
// Meant for tests and tools that assert on or store the daemon's output. Only
// one capture can be active at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far, each line with its "ZUVA: " prefix.
  std::string Text() const;
  void Clear();

  // Called with every logged text (prefix included) instead of collecting it;
  // for tools that tee the log. Runs under the capture's lock.
  using Sink = void (*)(const char* text, void* context);
  void SetSink(Sink sink, void* context);
};
