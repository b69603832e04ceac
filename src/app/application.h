#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "config/translator.h"
#include "display/frame_buffer.h"
#include "dvbsub/dvb_subtitle.h"
#include "platform/platform.h"
#include "stream/pes_filter.h"
#include "stream/pmt_loader.h"
#include "teletext/txt_subtitle.h"

// The daemon: follows the service the box plays and keeps its subtitles on
// screen. Everything is owned here by value for the whole run.
class Application {
 public:
  explicit Application(const Platform& platform = Platform::Default());
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  virtual ~Application();

  // The main loop; returns after the cycle in which Stop was called.
  void Run();
  // Ends Run after its current cycle. Safe from a signal handler and from any
  // thread.
  void Stop() { running.store(false); }
  // Reloads the settings in the next cycle, as the reload flag file does.
  // Safe from a signal handler and from any thread.
  void RequestReload() { reloadRequested.store(true); }

  void LoadSettings();
  bool IsDisabled();
  int ReadServiceStatus();

  bool StartTXTSubtitle(int pid, int page);
  bool StartDVBSubtitle(int pid);
  void StopDecoding();
  int ShowOSDMessage(const std::string& text);
  int FindExternalTXT(int serviceId, const std::string& lang, int& pid, int& page);

  // Read-only views for tools and tests.
  int Sid() const { return sid; }
  int PmtPid() const { return pmtPid; }
  int VideoFormat() const { return videoFormat; }
  int PlaybackMode() const { return playbackMode; }
  int Vpid() const { return vpid; }
  int Apid() const { return apid; }
  int Tpid() const { return tpid; }
  bool Decoding() const { return decoding; }
  int SubtitlePid() const { return subtitlePid; }
  int TxtPage() const { return txtPage; }
  int OsdTimer() const { return osdTimer; }
  FrameBuffer& Screen() { return frameBuffer; }
  Config& Settings() { return config; }
  const Translator& Characters() const { return translator; }
  PMTLoader& Scanner() { return pmtLoader; }
  PESFilter& Filter() { return pesFilter; }
  TXTSubtitle& Teletext() { return txtSubtitle; }
  DVBSubtitle& Dvb() { return dvbSubtitle; }

 private:
  void ResetStatus();
  // Chooses and starts a stream; 'T', 'D' or 0 for the outcome. Without
  // `pmtRead` only the channels file's override entries are tried.
  char ChooseStream(char* message, bool pmtRead);
  // One line naming what the PMT announced, when nothing matched.
  void LogLanguagesOnAir();
  // Starts the PES filter for a decoder; when that fails, the main loop
  // tries again on later cycles, with a growing pause, until it works or
  // decoding stops. `retry` marks such a later try.
  bool StartFilter(int pid, Subtitle* decoder, int recDelay, bool retry = false);
  static constexpr int32_t kMaxRetryPauseCycles = 120;  // a minute

  DVBSubtitle dvbSubtitle;
  TXTSubtitle txtSubtitle;
  PESFilter pesFilter;
  PMTLoader pmtLoader;
  FrameBuffer frameBuffer;
  Config config;
  Translator translator;
  int32_t sid;
  int32_t apid;
  int32_t tpid;
  int32_t vpid;
  int32_t pmtPid;
  int32_t playbackMode;
  int32_t videoFormat;
  std::atomic<bool> running;
  int32_t txtPage = 0;
  int32_t subtitlePid = 0;
  int32_t useExternalChannels = 0;
  std::string language;
  std::string secondaryLanguage;
  int32_t subtitleType = 0;
  bool decoding;
  Subtitle* retryDecoder_ = nullptr;  // set while a failed filter start waits for a retry
  int32_t retryPid_ = 0;
  int32_t retryRecDelay_ = 0;
  int32_t retryPauseCycles_ = 0;  // cycles between two tries
  int32_t retryCountdown_ = 0;    // cycles until the next try
  int32_t osdTimer;

  Platform platform_;
  std::atomic<bool> reloadRequested{false};
};
