#include <csignal>

#include "app/application.h"
#include "common/log.h"

namespace {
Application* g_application = nullptr;

void HandleStopSignal(int) {
  if (g_application != nullptr) g_application->Stop();
}
}  // namespace

int main() {
  log("Booting...\n");
  log("Version: %s\n", ZUVA_VERSION_TEXT);
  log("Compiled at: " __DATE__ " " __TIME__ "\n");

  Application* application = new Application(Platform::Default());
  g_application = application;

  // SIGTERM (init scripts) and SIGINT (a terminal) end the loop after the
  // cycle in progress, so that decoding stops and the screen is released.
  struct sigaction action {};
  action.sa_handler = HandleStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  application->Run();

  g_application = nullptr;
  delete application;
  return 0;
}
