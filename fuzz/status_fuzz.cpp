// The service status file: whatever the plugin (or a half-written file)
// leaves there is read by Application::ReadServiceStatus.

#include "app/application.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  Platform platform;
  platform.paths = Paths::Under(fuzz::Scratch().Path());
  fuzz::WriteFile(platform.paths.statusFile, data, size);

  Application app(platform);
  const int first = app.ReadServiceStatus();
  FUZZ_CHECK(first == 0 || first == 1);
  FUZZ_CHECK(app.VideoFormat() == 4 || app.VideoFormat() == 16);
  FUZZ_CHECK(app.PlaybackMode() == 0 || app.PlaybackMode() == 2);

  // Reading the same file again can change nothing, however far the first
  // read got.
  const int sid = app.Sid(), vpid = app.Vpid(), apid = app.Apid(), tpid = app.Tpid();
  const int pmt = app.PmtPid(), format = app.VideoFormat(), mode = app.PlaybackMode();
  FUZZ_CHECK(app.ReadServiceStatus() == 0);
  FUZZ_CHECK(app.Sid() == sid && app.Vpid() == vpid && app.Apid() == apid && app.Tpid() == tpid);
  FUZZ_CHECK(app.PmtPid() == pmt && app.VideoFormat() == format && app.PlaybackMode() == mode);
  return 0;
}
