#include <csignal>

#include "app/application.h"
#include "common/log.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"

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

  // The box's driver when its demultiplexer node is there; otherwise the
  // standard Linux DVB API through a translating layer. It outlives the
  // Application, which holds a pointer to it.
  LinuxDvbIO standardIO(PassthroughDeviceIO::Instance());
  Platform platform = Platform::Default();
  platform.io = SelectDeviceIO(platform.paths, PassthroughDeviceIO::Instance(), &standardIO);

  Application* application = new Application(platform);
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
