#include "app/application.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "config/channels.h"
#include "stream/language_code.h"

Application::Application(const Platform& platform)
    : pesFilter(platform),
      pmtLoader(platform),
      frameBuffer(platform),
      running(true),
      platform_(platform) {
  language.clear();
  secondaryLanguage.clear();
  log("Application created.\n");
  playbackMode = 0;
  videoFormat = 4;
  running = true;
  frameBuffer.SetTranslator(&translator);
  sid = apid = tpid = vpid = pmtPid = -1;
  decoding = false;
  osdTimer = 0;
}

Application::~Application() = default;

void Application::LoadSettings() {
  if (!config.load(platform_.paths.settings)) {
    // Without this line a mistyped folder or file name looks like a daemon
    // that ignores what the user configured.
    log("No settings file %s: running on the defaults.\n", platform_.paths.settings.c_str());
  }
  config.getValue("UseExternalChannels", useExternalChannels);
  config.getValue("Language", language);
  config.getValue("SecondaryLanguage", secondaryLanguage);
  // People write fra or FRA where the stream says fre; compared in one form,
  // all of them match.
  language = NormalizeLanguageCode(language);
  secondaryLanguage = NormalizeLanguageCode(secondaryLanguage);
  config.getValue("SubtileType", subtitleType);
  StopDecoding();
  frameBuffer.Close();
  std::string font;
  config.getValue("Font", font);
  frameBuffer.Init(font);
}

bool Application::IsDisabled() {
  FILE* flag = fopen(platform_.paths.disableFlag.c_str(), "r");
  if (flag == nullptr) return false;
  fclose(flag);
  return true;
}

void Application::ResetStatus() {
  sid = vpid = apid = tpid = pmtPid = -1;
  videoFormat = 4;
  playbackMode = 0;
}

namespace {
// One line of the status file as a decimal number, the way the plugin writes
// it; false when the line is missing or does not start with a number.
bool ReadNumberLine(FILE* file, int& value) {
  char line[255];
  memset(line, 0, sizeof line);
  if (fgets(line, sizeof line, file) == nullptr) return false;
  return sscanf(line, "%d", &value) == 1;
}

int MapAspect(int aspect) {
  switch (aspect) {
    case 0:
    case 1:
    case 5:
    case 9:
    case 13:
      return 4;
    default:
      return 16;
  }
}
}  // namespace

int Application::ReadServiceStatus() {
  int changed = 0;
  FILE* file = fopen(platform_.paths.statusFile.c_str(), "r");
  if (file == nullptr) {
    log("Could not find ZUVA.tmp...is Python plugin running?\n");
    ResetStatus();
    return 0;
  }

  int value = 0;
  if (!ReadNumberLine(file, value)) {
    log("Failed to read SID\n");
    ResetStatus();
    fclose(file);
    return 0;
  }
  if (value != sid) {
    ResetStatus();
    changed = 1;
  }
  sid = value;

  struct Field {
    int32_t* target;
    const char* failure;
  };
  const Field ids[] = {{&vpid, "Failed to read VPID\n"},
                       {&apid, "Failed to read APID\n"},
                       {&tpid, "Failed to read TPID\n"}};
  for (const Field& field : ids) {
    if (!ReadNumberLine(file, value)) {
      log("%s", field.failure);
      fclose(file);
      return 0;
    }
    if (value != *field.target) changed = 1;
    *field.target = value;
  }

  int aspect = 0;
  if (!ReadNumberLine(file, aspect)) {
    log("Failed to read Aspect\n");
    aspect = 0;
  }
  const int format = MapAspect(aspect);
  if (format != videoFormat) changed = 1;
  videoFormat = format;

  int seekable = 0;
  if (!ReadNumberLine(file, seekable)) {
    log("Failed to read Seekable\n");
    fclose(file);
    return 0;
  }
  const int mode = seekable != 0 ? 2 : 0;
  if (mode != playbackMode) changed = 1;
  playbackMode = mode;

  if (!ReadNumberLine(file, value)) {
    log("Failed to read PMT\n");
    fclose(file);
    return 0;
  }
  if (value != pmtPid) changed = 1;
  pmtPid = value;
  if (value == -1) log("Strange...no PMT??? Hrm...\n");
  fclose(file);

  FILE* reload = fopen(platform_.paths.reloadFlag.c_str(), "r");
  if (reload != nullptr) {
    reloadRequested = false;  // the one reload serves both requests
    // Removed directly rather than through a shell: the path is configurable
    // and must never become part of a command line.
    unlink(platform_.paths.reloadFlag.c_str());
    log("Reload configs requested.\n");
    LoadSettings();
    fclose(reload);
    return 1;
  }
  return changed;
}

void Application::Run() {
  decoding = false;
  LoadSettings();
  char message[60];
  memset(message, 0, sizeof message);
  pmtPid = -1;
  sid = -1;
  int lastScanResult = 1;
  int rescanCountdown = 20;

  while (running.load()) {
    platform_.clock->Sleep(500000);
    if (IsDisabled()) {
      rescanCountdown = 1;
      if (decoding) {
        StopDecoding();
        log("-> Let's fall into zzzzzzz...cause we are disabled.\n");
      }
      continue;
    }
    --rescanCountdown;
    if (decoding) rescanCountdown = 20;
    // A filter that failed to start would otherwise leave the service
    // silent until it changes; a dead device is tried less and less often.
    if (retryDecoder_ != nullptr && --retryCountdown_ <= 0) {
      StartFilter(retryPid_, retryDecoder_, retryRecDelay_, true);
    }

    --osdTimer;
    if (osdTimer == 0) ShowOSDMessage("");

    int status = ReadServiceStatus();
    // A reload signal does what the flag file does, but cannot wait for a
    // complete status file: the user who sent it expects it served now.
    if (reloadRequested.exchange(false)) {
      log("Reload configs requested.\n");
      LoadSettings();
      status = 1;
    }
    if (status != 1 && lastScanResult > 0 && rescanCountdown != 0) {
      if (status == -1 && decoding) StopDecoding();
      continue;
    }

    log("Service changed: SID=%d, PMT=%d\n", sid, pmtPid);
    log("Now check if we have some nice subs for this channel...\n");
    StopDecoding();
    lastScanResult = pmtLoader.GetAllPIDs(sid, pmtPid);
    rescanCountdown = 20;
    if (lastScanResult <= 0) {
      log("Failed to GetAllPIDs()...try again.\n");
      // An override entry names PID and page itself: it needs no PMT. Once
      // it runs, only a change of service rescans, as with any decoder.
      if (useExternalChannels == 2 && sid >= 0 && ChooseStream(message, false) == 'T') {
        lastScanResult = 1;
      }
      continue;
    }
    ChooseStream(message, true);
  }

  // Decoding stops before the screen goes away, so that the reader thread can
  // never draw into an unmapped framebuffer.
  StopDecoding();
  frameBuffer.Close();
  log("Exit from main loop...bye bye...\n");
}

char Application::ChooseStream(char* message, bool pmtRead) {
  memset(message, 0, 60);
  const std::string& translationPath = platform_.paths.translation;

  // Tries one language: the external file before the PMT (override) or after
  // it (fallback), then the PMT's DVB streams. 'T', 'D' or 0 for nothing.
  auto tryLanguage = [&](const std::string& lang, bool primary) -> char {
    if (useExternalChannels == 2 && FindExternalTXT(sid, lang, subtitlePid, txtPage)) {
      log("TXT EXTERNAL OVERRIDE: %s, PID=%x, PAGE=%x\n", lang.c_str(), subtitlePid, txtPage);
      snprintf(message, 60, "TXT(Override) Subtitles %s 0x%x %d", lang.c_str(), subtitlePid,
               txtPage);
      return 'T';
    }
    if (!pmtRead) return 0;
    if (pmtLoader.FindTXTSubtitle(lang, subtitleType, subtitlePid, txtPage)) {
      log("TXT FROM PMT: %s, PID=%x, PAGE=%x\n", lang.c_str(), subtitlePid, txtPage);
      snprintf(message, 60, "TXT(Stream) Subtitles %s 0x%x %d", lang.c_str(), subtitlePid,
               txtPage);
      return 'T';
    }
    if (useExternalChannels == 1 && FindExternalTXT(sid, lang, subtitlePid, txtPage)) {
      log("TXT EXTERNAL FALLBACK: %s, PID=%x, PAGE=%x\n", lang.c_str(), subtitlePid, txtPage);
      snprintf(message, 60, "TXT(Fallback) Subtitles %s 0x%x %d", lang.c_str(), subtitlePid,
               txtPage);
      return 'T';
    }
    if (pmtLoader.FindDVBSubtitle(lang, subtitlePid)) {
      log("DVB FROM PMT: %s, PID=%x\n", lang.c_str(), subtitlePid);
      // The primary language's text has two blanks, the secondary's one: the
      // box's users know the two messages apart by it.
      snprintf(message, 60,
               primary ? "DVB(Stream) Subtitles  %s 0x%x" : "DVB(Stream) Subtitles %s 0x%x",
               lang.c_str(), subtitlePid);
      return 'D';
    }
    return 0;
  };

  // Without a PMT this runs every cycle until an override entry is found:
  // the table is loaded only for the language that found one.
  if (pmtRead) translator.LoadTranslation(language, translationPath);
  char outcome = tryLanguage(language, true);
  const std::string* chosen = &language;
  if (outcome == 0) {
    if (pmtRead) translator.LoadTranslation(secondaryLanguage, translationPath);
    outcome = tryLanguage(secondaryLanguage, false);
    chosen = &secondaryLanguage;
  }
  if (!pmtRead) {
    // Only an override can be started; the caller goes on retrying the
    // scan and nothing is shown or stopped.
    if (outcome == 0) return 0;
    translator.LoadTranslation(*chosen, translationPath);
  }

  switch (outcome) {
    case 'T':
      log("-> Let's start TXT Subtitles\n");
      StartTXTSubtitle(subtitlePid, txtPage);
      break;
    case 'D': {
      // The box's own builds only announce a DVB stream; the setting lets
      // the DVB decoder show it.
      int showDvb = 0;
      config.getValue("UseDVBSubtitles", showDvb);
      if (showDvb != 0) {
        log("-> Let's start DVB Subtitles\n");
        StartDVBSubtitle(subtitlePid);
      } else {
        log("-> DVB Subtitles NOT supported on this box yet...\n");
      }
      break;
    }
    default:
      LogLanguagesOnAir();
      log("-> Let's fall into zzzzzzz...\n");
      StopDecoding();
      break;
  }
  ShowOSDMessage(message);
  return outcome;
}

void Application::LogLanguagesOnAir() {
  std::string onAir;
  auto add = [&onAir](const std::string& entry) {
    if (onAir.find(entry) == std::string::npos) onAir += (onAir.empty() ? "" : ", ") + entry;
  };
  char entry[64];
  // The lists hold the last announced entry first; the line reads in PMT order.
  const auto& txt = pmtLoader.TxtSubtitles();
  for (auto it = txt.rbegin(); it != txt.rend(); ++it) {
    snprintf(entry, sizeof entry, "%s teletext %x type %d", (*it)->language.c_str(), (*it)->page,
             (*it)->type);
    add(entry);
  }
  const auto& dvb = pmtLoader.DvbSubtitles();
  for (auto it = dvb.rbegin(); it != dvb.rend(); ++it) {
    snprintf(entry, sizeof entry, "%s DVB", (*it)->language.c_str());
    add(entry);
  }
  log("-> No subtitles in %s or %s (type %d); on air: %s\n", language.c_str(),
      secondaryLanguage.c_str(), subtitleType, onAir.empty() ? "none" : onAir.c_str());
}

bool Application::StartTXTSubtitle(int pid, int page) {
  log("Start TXT Subtile: PID=%x, PAGE=%x\n", pid, page);
  txtSubtitle.frameBuffer = &frameBuffer;
  txtSubtitle.config = &config;
  txtSubtitle.videoFormat = videoFormat;
  log("VideoFormat: %d\n", videoFormat);
  int recDelay = 0;
  if (playbackMode == 2) {
    config.getValue("RecDelay", recDelay);
    log("Playback found, RecDelay:%d\n", recDelay);
  }
  txtSubtitle.configure(page);
  const bool started = StartFilter(pid, &txtSubtitle, recDelay);
  decoding = true;
  return started;
}

bool Application::StartDVBSubtitle(int pid) {
  log("Start DVB Subtile: PID=%x\n", pid);
  dvbSubtitle.frameBuffer = &frameBuffer;
  dvbSubtitle.config = &config;
  dvbSubtitle.configure();
  const bool started = StartFilter(pid, &dvbSubtitle, 0);
  decoding = true;
  return started;
}

bool Application::StartFilter(int pid, Subtitle* decoder, int recDelay, bool retry) {
  const bool started = pesFilter.Start(pid, decoder, recDelay);
  retryDecoder_ = started ? nullptr : decoder;
  retryPid_ = pid;
  retryRecDelay_ = recDelay;
  // Half a second after the first failure, then twice as long after each
  // further one, up to a minute: a dead device costs a few lines an hour.
  retryPauseCycles_ = started ? 0 : retry ? std::min(retryPauseCycles_ * 2, kMaxRetryPauseCycles) : 1;
  retryCountdown_ = retryPauseCycles_;
  return started;
}

void Application::StopDecoding() {
  retryDecoder_ = nullptr;
  log("Stop PES decoding...\n");
  pesFilter.Stop();
  log("Stop TXT decoding...\n");
  txtSubtitle.stop();
  log("Stop DVB decoding...\n");
  dvbSubtitle.stop();
  decoding = false;
}

int Application::ShowOSDMessage(const std::string& text) {
  int enabled = 0;
  config.getValue("OSDMessages", enabled);
  if (enabled == 0) return 0;
  frameBuffer.Lock();
  frameBuffer.FillRect(0, FrameBuffer::kMessageLineTop, 720, FrameBuffer::kMessageLineHeight, 0);
  frameBuffer.RenderMessage(text, 0, 40, 720, 1, 20, 0xFFFFFFFFu);
  frameBuffer.Unlock();
  osdTimer = 6;
  return 0;
}

int Application::FindExternalTXT(int serviceId, const std::string& lang, int& pid, int& page) {
  return ::FindExternalTXT(platform_.paths.channels, serviceId, lang, pid, page);
}
