#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/application.h"
#include "common/command_line.h"
#include "common/log.h"
#include "config/config.h"
#include "platform/linux_dvb_io.h"
#include "platform/select_io.h"

namespace {
Application* g_application = nullptr;

void HandleStopSignal(int) {
  if (g_application != nullptr) g_application->Stop();
}

void HandleReloadSignal(int) {
  if (g_application != nullptr) g_application->RequestReload();
}

const char kUsage[] =
    "Usage: zuva [--config-dir DIR] [--adapter N] [--demux N] [--framebuffer PATH]\n"
    "Shows the subtitles of the service the box plays on its framebuffer, as the\n"
    "status file /tmp/ZUVA.tmp names it. Logs to standard error; runs until\n"
    "SIGTERM or SIGINT. SIGHUP, like the file /tmp/.ZUVA_Reload, reloads the\n"
    "settings.\n"
    "  --config-dir DIR  read zuva.conf, zuva.channels and zuva.translation\n"
    "                    from DIR (default /var/tuxbox/config/zuva)\n"
    "  --adapter N       use DVB adapter N (default 0; setting Adapter)\n"
    "  --demux N         use its demultiplexer N (default 0; setting Demux)\n"
    "  --framebuffer PATH  draw on this framebuffer (default /dev/fb/0, which\n"
    "                    is /dev/fb0 on a PC; setting FrameBuffer)\n"
    "  -h, --help        show this text\n"
    "  --version         show the version\n";

enum { kConfigDir, kAdapter, kDemux, kFramebuffer };

// The devices named in the settings file, where the command line named none.
// They are read once, before any device is chosen; the daemon's own load of
// the file follows with its log, so this one is quiet but for a bad value.
void ReadDeviceSettings(const std::string& file, DeviceChoice& choice) {
  Config settings;
  {
    LogCapture quiet;
    settings.load(file);
  }
  DeviceChoice set;
  const struct {
    const char* key;
    int* out;
  } numbers[] = {{"Adapter", &set.adapter}, {"Demux", &set.demux}};
  for (const auto& n : numbers) {
    std::string text;
    if (settings.getValue(n.key, text) == 1 && !DeviceChoice::ParseNumber(text.c_str(), *n.out)) {
      log("CONFIG: %s \"%s\" is not a number from 0 to %d: ignored\n", n.key, text.c_str(),
          DeviceChoice::kMaxNumber);
    }
  }
  settings.getValue("FrameBuffer", set.framebuffer);
  choice.Complete(set);
}
}  // namespace

int main(int argc, char** argv) {
  std::string configDir;
  DeviceChoice devices;
  const auto handle = [&](int id, const char* value, std::string&) {
    switch (id) {
      case kAdapter: return DeviceChoice::ParseNumber(value, devices.adapter);
      case kDemux: return DeviceChoice::ParseNumber(value, devices.demux);
      case kFramebuffer: devices.framebuffer = value; break;
      default: configDir = value; break;
    }
    return *value != '\0';
  };
  const cli::Program program{"zuva",
                             kUsage,
                             {{"config-dir", 0, true, kConfigDir},
                              {"adapter", 0, true, kAdapter},
                              {"demux", 0, true, kDemux},
                              {"framebuffer", 0, true, kFramebuffer}},
                             handle};
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status >= 0) return status;
  if (!operands.empty()) return cli::UsageError(program, "unexpected argument '" + operands[0] + "'");
  // A folder that is not there is refused at once: started with defaults, the
  // daemon would look as if it ran and show nothing the user configured.
  struct stat info {};
  if (!configDir.empty() && (stat(configDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
    return cli::UsageError(program, "--config-dir " + configDir + " is not a folder");
  }

  log("Booting...\n");
  log("Version: %s\n", ZUVA_VERSION_TEXT);
  log("Compiled at: " __DATE__ " " __TIME__ "\n");

  // The box's driver when its demultiplexer node is there; otherwise the
  // standard Linux DVB API through a translating layer. It outlives the
  // Application, which holds a pointer to it.
  LinuxDvbIO standardIO(PassthroughDeviceIO::Instance());
  Platform platform = Platform::Default();
  if (!configDir.empty()) {
    while (configDir.size() > 1 && configDir.back() == '/') configDir.pop_back();
    platform.paths.settings = configDir + "/zuva.conf";
    platform.paths.channels = configDir + "/zuva.channels";
    platform.paths.translation = configDir + "/zuva.translation";
  }
  ReadDeviceSettings(platform.paths.settings, devices);
  devices.ApplyTo(platform.paths);
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
  // SIGHUP, the reload request of service managers, is served by the main
  // loop like the reload flag file. Reads restart, so the reader thread never
  // sees the signal.
  struct sigaction reload {};
  reload.sa_handler = HandleReloadSignal;
  reload.sa_flags = SA_RESTART;
  sigemptyset(&reload.sa_mask);
  sigaction(SIGHUP, &reload, nullptr);

  application->Run();

  g_application = nullptr;
  delete application;
  return 0;
}
