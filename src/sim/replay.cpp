#include "sim/replay.h"

#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/application.h"
#include "app/status_writer.h"
#include "common/command_line.h"
#include "common/crc32.h"
#include "common/log.h"
#include "config/translator.h"
#include "platform/clock.h"
#include "sim/contact_sheet.h"
#include "sim/png_writer.h"
#include "sim/section_assembler.h"
#include "sim/sim_demux.h"
#include "sim/sim_device_io.h"
#include "sim/sim_framebuffer.h"
#include "sim/ts_recording.h"

namespace replay {

bool FindPrograms(const TSRecording& recording, std::vector<Program>& programs) {
  SectionAssembler assembler;
  std::vector<uint8_t> pat;
  recording.Visit(0, [&](size_t, const uint8_t* packet) {
    if (PacketPid(packet) != 0) return true;
    assembler.Push(packet, [&](const uint8_t* section, size_t length) {
      if (pat.empty() && length >= 12 && section[0] == 0x00 && Crc32Mpeg(section, length) == 0) {
        pat.assign(section, section + length);
      }
    });
    return pat.empty();
  });
  if (pat.empty()) return false;
  const size_t crcStart = pat.size() - 4;
  for (size_t offset = 8; offset + 4 <= crcStart; offset += 4) {
    const int number = (pat[offset] << 8) | pat[offset + 1];
    const int pid = ((pat[offset + 2] << 8) | pat[offset + 3]) & 0x1FFF;
    if (number != 0) programs.push_back({number, pid});
  }
  return true;
}

std::string ClockNote(const TSRecording& recording) {
  char text[200];
  if (recording.Source() == TSRecording::ClockSource::kNone) {
    snprintf(text, sizeof text,
             "zuva-replay: the recording has no PCR and no PTS: its packets are placed by byte "
             "position at %lld bit/s\n",
             static_cast<long long>(recording.NominalBitRate()));
    return text;
  }
  if (recording.IgnoredClockValues() == 0 && recording.Discontinuities() == 0) return "";
  snprintf(text, sizeof text,
           "zuva-replay: %d damaged %s values ignored, %d discontinuities bridged\n",
           recording.IgnoredClockValues(), recording.HasPCR() ? "PCR" : "PTS",
           recording.Discontinuities());
  return text;
}

namespace {

constexpr uint32_t kMainLoopSleep = 500000;
// Screen states that last less than this are steps of one drawing (a page's
// first row before its second), not something a viewer reads.
constexpr int64_t kShortestEntryMs = 80;
// Subtitles on one contact sheet: 100 rows of three.
constexpr int kSheetMostCells = 300;
constexpr size_t kLogBatchBytes = 64 << 10;

const char kExampleSettings[] =
    "OSDMessages 1\n"
    "Font /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf\n";

bool FileExists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string DefaultTranslation() {
  const std::string source = std::string(ZUVA_SOURCE_DIR) + "/data/zuva.translation";
  if (FileExists(source)) return source;
  // Installed: a PC package keeps it in /etc/zuva, the box in its own folder.
  if (FileExists("/etc/zuva/zuva.translation")) return "/etc/zuva/zuva.translation";
  return "/var/tuxbox/config/zuva/zuva.translation";
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return static_cast<bool>(out);
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x110000) {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Whole words at a time: the screen is megabytes, looked at after every
// drawing sequence.
bool AllZero(const uint8_t* bytes, size_t count) {
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    uint64_t words[8];
    std::memcpy(words, bytes + i, sizeof words);
    for (uint64_t word : words) any |= word;
    if (any != 0) return false;
  }
  for (; i < count; ++i) any |= bytes[i];
  return any == 0;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

// Lines this thread has logged, and how many it had at its last drawing
// sequence: a reader-thread sequence with nothing logged since the previous
// one only looked at the screen.
thread_local uint64_t t_logLines = 0;
thread_local uint64_t t_logLinesAtUnlock = 0;

// On virtual time the reader thread takes part in time from before it exists
// until it ends, so that time cannot run ahead of its first pass nor wait for
// it once it is gone. The clock is the one of the replay that runs on the
// creating thread.
thread_local VirtualClock* t_replayClock = nullptr;

struct ThreadStart {
  VirtualClock* clock;
  void* (*entry)(void*);
  void* arg;
};

void* EnterClockAndRun(void* start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  s.clock->Enter();
  void* result = s.entry(s.arg);
  s.clock->Leave();
  return result;
}

int CreateOnReplayClock(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*),
                        void* arg) {
  VirtualClock* clock = t_replayClock;
  if (clock == nullptr) return pthread_create(thread, attr, entry, arg);
  ThreadStart* start = new ThreadStart{clock, entry, arg};
  clock->ExpectThread();
  const int result = pthread_create(thread, attr, EnterClockAndRun, start);
  if (result != 0) {
    clock->CancelExpectedThread();
    delete start;
  }
  return result;
}

// The main loop's half-second sleep is where the plugin does its work: on the
// main thread, between two cycles, so it may call into the Application.
class PluginClock : public Clock {
 public:
  PluginClock(Clock* inner, std::function<void()> onCycle)
      : inner_(inner), onCycle_(std::move(onCycle)), main_(std::this_thread::get_id()) {}
  void Sleep(uint32_t micros) override {
    inner_->Sleep(micros);
    if (micros == kMainLoopSleep && std::this_thread::get_id() == main_) onCycle_();
  }
  int64_t NowMicros() override { return inner_->NowMicros(); }

 private:
  Clock* inner_;
  std::function<void()> onCycle_;
  std::thread::id main_;
};

class Session {
 public:
  explicit Session(const Options& options)
      : o_(options), mainThread_(std::this_thread::get_id()) {}
  Result Play();

 private:
  struct Step;
  bool Prepare();
  void WriteStatus(int sid);
  int PmtOf(int sid) const;
  void OnCycle();
  void OnLog(const char* text);
  void FlushLog();
  void FlushLogLocked();
  void OnUnlock();
  void Transition();
  std::string Visible(const std::string& raw) const;
  int64_t NowMs() const;
  // Where the recording's last packet lies, on the time line of NowMs.
  int64_t RecordingEndMs() const { return demux_->DurationMicros() / 1000; }
  void FrameWriter();
  void Finish();
  // Checks that every output asked for can be written, before the replay.
  bool CheckOutputs();
  // Removes the temporary working folder, on every way out.
  void RemoveOwnDir();
  // Notes the first output that could not be written: the run fails.
  void OutputFailed(const std::string& what);
  void TakeThumbnail(Step& step);
  void WriteSheet(const std::vector<size_t>& lastSteps);

  static void LogSink(const char* text, void* self) { static_cast<Session*>(self)->OnLog(text); }
  static void UnlockObserver(void* self) { static_cast<Session*>(self)->OnUnlock(); }

  Options o_;
  std::thread::id mainThread_;
  Result r_;
  std::unique_ptr<Clock> base_;
  VirtualClock* virtual_ = nullptr;  // base_ when the replay runs on virtual time
  std::unique_ptr<PluginClock> clock_;
  std::unique_ptr<SimDemux> demux_;
  std::unique_ptr<SimFramebuffer> fb_;
  SimDeviceIO io_;
  Platform platform_;
  std::string dir_;
  bool ownDir_ = false;
  std::vector<Program> programs_;
  std::unique_ptr<Application> app_;

  // Everything below is shared by the log sink, the unlock observer and the
  // cycle hook, which may run on the main thread and the reader thread.
  std::mutex mutex_;
  int pendingRow_ = -1;
  std::string pendingText_;
  std::vector<std::string> pendingWhat_;
  std::map<int, std::string> visible_;  // teletext rows, then DVB bitmaps from 1000 on
  int nextBitmap_ = 1000;
  struct Step {
    int64_t ms;
    std::vector<std::string> lines;
    std::vector<uint8_t> thumb;  // for the sheet: the screen at the step's end
    int thumbWidth = 0;
    int thumbHeight = 0;
  };
  std::vector<Step> steps_;
  std::vector<uint8_t> lastScreen_;
  // On virtual time the log goes out once a cycle rather than a line at a
  // time: a replay runs thousands of times faster than anyone reads it.
  std::string logBatch_;

  // Frames waiting for the writer thread.
  struct PendingFrame {
    int number;
    std::vector<uint8_t> memory;
  };
  std::mutex framesMutex_;
  std::condition_variable framesReady_;
  std::deque<PendingFrame> frameQueue_;
  bool framesDone_ = false;
  std::thread writer_;

  size_t nextChange_ = 0;
  size_t nextAction_ = 0;
  int cycles_ = 0;
  int64_t finishedAtMicros_ = -1;
  std::unique_ptr<SimFramebuffer> sheetScratch_;
  int thumbnails_ = 0;
  std::string fontFile_;
  std::atomic<bool> quiet_{false};  // the sheet's own drawing is not the daemon's
  int64_t stopMs_ = -1;  // replay position when the daemon was asked to stop
  std::mutex outputMutex_;  // the frame writer and the main thread report failures
};

int64_t Session::NowMs() const {
  // Where the STC stands on the recording's unbroken time line: it runs a
  // little behind the arrivals (data comes ahead of its time), and does not
  // jump where the recording's clock does.
  return (demux_->ReplayMicros() - demux_->Options().leadMicros) / 1000;
}

int Session::PmtOf(int sid) const {
  for (const Program& p : programs_) {
    if (p.number == sid) return p.pmtPid;
  }
  return -1;
}

void Session::WriteStatus(int sid) {
  StatusRecord record;
  record.sid = sid;
  record.aspect = o_.aspect;
  record.seekable = o_.playback ? 1 : 0;
  record.pmtPid = PmtOf(sid);
  WriteStatusFile(platform_.paths.statusFile, record, nullptr);
}

bool Session::CheckOutputs() {
  std::string error;
  const bool ok = (o_.srtFile.empty() || cli::CheckOutputFile(o_.srtFile, error)) &&
                  (o_.sheetFile.empty() || cli::CheckOutputFile(o_.sheetFile, error)) &&
                  (o_.framesDir.empty() || cli::MakeOutputDir(o_.framesDir, error)) &&
                  (o_.workDir.empty() || cli::MakeOutputDir(o_.workDir, error));
  if (!ok) {
    r_.status = 1;
    r_.error = "cannot write " + error;
  }
  return ok;
}

void Session::OutputFailed(const std::string& what) {
  std::lock_guard<std::mutex> lock(outputMutex_);
  if (r_.status != 0) return;
  r_.status = 1;
  r_.error = "cannot write " + what;
}

void Session::RemoveOwnDir() {
  if (!ownDir_) return;
  const Paths& p = platform_.paths;
  for (const std::string& f :
       {p.statusFile, p.disableFlag, p.reloadFlag, p.settings, p.channels, p.translation}) {
    unlink(f.c_str());
  }
  rmdir(dir_.c_str());
  ownDir_ = false;
}

bool Session::Prepare() {
  // The outputs first: a replay that cannot write them would run for
  // nothing.
  if (!CheckOutputs()) return false;
  if (o_.speed > 0) {
    base_ = std::make_unique<ScaledClock>(o_.speed);
  } else {
    auto clock = std::make_unique<VirtualClock>(/*oneProcessor=*/true);
    virtual_ = clock.get();
    base_ = std::move(clock);
  }
  clock_ = std::make_unique<PluginClock>(base_.get(), [this] { OnCycle(); });
  SimDemuxOptions demuxOptions;
  if (o_.bitRate > 0) demuxOptions.nominalBitRate = o_.bitRate;
  demux_ = std::make_unique<SimDemux>(clock_.get(), demuxOptions);
  std::string error;
  if (!demux_->Load(o_.recording, &error)) {
    r_.status = 1;
    r_.error = "cannot read recording " + o_.recording + ": " + error;
    return false;
  }
  if (!FindPrograms(demux_->Recording(), programs_) || programs_.empty()) {
    r_.status = 1;
    r_.error = "cannot read recording " + o_.recording + ": no programs in its PAT";
    return false;
  }
  if (o_.service < 0) o_.service = programs_.front().number;
  if (PmtOf(o_.service) < 0) {
    r_.status = 2;
    r_.error = "service " + std::to_string(o_.service) + " is not in the recording's PAT";
    return false;
  }
  for (const ServiceChange& change : o_.changes) {
    if (PmtOf(change.sid) < 0) {
      r_.status = 2;
      r_.error = "service " + std::to_string(change.sid) + " is not in the recording's PAT";
      return false;
    }
  }
  std::sort(o_.changes.begin(), o_.changes.end(),
            [](const ServiceChange& a, const ServiceChange& b) { return a.atSeconds < b.atSeconds; });
  std::stable_sort(o_.actions.begin(), o_.actions.end(),
                   [](const Action& a, const Action& b) { return a.atSeconds < b.atSeconds; });

  if (o_.workDir.empty()) {
    char templ[] = "/tmp/zuva-replay-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
      r_.status = 1;
      r_.error = "cannot make a working folder";
      return false;
    }
    dir_ = templ;
    ownDir_ = true;
  } else {
    dir_ = o_.workDir;
  }
  r_.workDir = dir_;
  platform_.paths = Paths::Under(dir_);
  platform_.io = &io_;
  if (o_.wrapDevices) {
    DeviceIO* wrapped = o_.wrapDevices(&io_);
    if (wrapped != nullptr) platform_.io = wrapped;
  }
  platform_.clock = clock_.get();

  SimFramebuffer::Geometry geometry;
  geometry.bitsPerPixel = o_.bitsPerPixel == 8 || o_.bitsPerPixel == 16 ? o_.bitsPerPixel : 32;
  if (o_.screenWidth != geometry.xres || o_.screenHeight != geometry.yres) {
    geometry.xres = o_.screenWidth;
    geometry.yres = o_.screenHeight;
    geometry.stridePixels = o_.screenWidth + 48;  // padded, as the default screen is
  }
  fb_ = std::make_unique<SimFramebuffer>(geometry);
  io_.Attach(platform_.paths.demux, demux_.get());
  io_.Attach(platform_.paths.framebuffer, fb_.get());

  // The settings: the given file or the example, then the --set lines, which
  // win because the last occurrence of a key does.
  std::string settings = kExampleSettings;
  if (!o_.configFile.empty()) {
    std::ifstream in(o_.configFile, std::ios::binary);
    if (!in) {
      r_.status = 2;
      r_.error = "cannot read settings file " + o_.configFile;
      return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    settings = text.str();
    if (!settings.empty() && settings.back() != '\n') settings += '\n';
  }
  if (o_.dvb) settings += "UseDVBSubtitles 1\n";
  for (const std::string& line : o_.settings) settings += line + "\n";
  // The sheet's labels use the daemon's font: the last Font line wins.
  std::istringstream lines(settings);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Font ", 0) == 0) fontFile_ = line.substr(5);
  }
  std::ofstream(platform_.paths.settings, std::ios::trunc) << settings;

  if (!o_.channelsFile.empty() && !CopyFile(o_.channelsFile, platform_.paths.channels)) {
    r_.status = 2;
    r_.error = "cannot read channels file " + o_.channelsFile;
    return false;
  }
  const std::string translation =
      o_.translationFile.empty() ? DefaultTranslation() : o_.translationFile;
  if (!CopyFile(translation, platform_.paths.translation) && !o_.translationFile.empty()) {
    r_.status = 2;
    r_.error = "cannot read translation file " + translation;
    return false;
  }
  // Frames are taken when the screen differs from what it showed before.
  lastScreen_.assign(fb_->Memory(), fb_->Memory() + fb_->MemoryBytes());
  WriteStatus(o_.service);
  return true;
}

void Session::FlushLogLocked() {
  if (!logBatch_.empty()) fwrite(logBatch_.data(), 1, logBatch_.size(), o_.logOut);
  logBatch_.clear();
}

void Session::FlushLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLogLocked();
}

// Runs on the main thread at the end of every main-loop sleep.
void Session::OnCycle() {
  FlushLog();
  // The daemon sets its first filter in the cycle after the status file
  // appeared, and that starts the recording; if it did not (disabled, say),
  // the recording starts arriving anyway.
  if (++cycles_ >= 2) demux_->Start();
  const int64_t now = demux_->ReplayMicros();
  while (nextChange_ < o_.changes.size() &&
         o_.changes[nextChange_].atSeconds * 1e6 <= static_cast<double>(now)) {
    WriteStatus(o_.changes[nextChange_].sid);
    ++nextChange_;
  }
  while (nextAction_ < o_.actions.size() &&
         o_.actions[nextAction_].atSeconds * 1e6 <= static_cast<double>(now)) {
    if (o_.actions[nextAction_].run) o_.actions[nextAction_].run(dir_);
    ++nextAction_;
  }

  bool dvbShowing = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dvbShowing = !visible_.empty() && visible_.rbegin()->first >= 1000;
  }

  if (demux_->Finished()) {
    if (finishedAtMicros_ < 0) finishedAtMicros_ = now;
    const int64_t after = now - finishedAtMicros_;
    // The last subtitle's time must run out; a DVB display clears itself
    // when its time-out passes, within a minute at most.
    if (after >= static_cast<int64_t>(o_.tailSeconds * 1e6) && (!dvbShowing || after > 60000000)) {
      // The replay ends here: whatever time passes while the threads wind
      // down is not part of it.
      if (stopMs_ < 0) stopMs_ = NowMs();
      app_->Stop();
    }
  }
}

std::string Session::Visible(const std::string& raw) const {
  // The text as the screen shows it: each byte through the daemon's current
  // translation table, italic markers drawn as the spaces they leave.
  std::string out;
  for (unsigned char byte : raw) {
    uint32_t c = app_ ? app_->Characters().Translate(byte) : byte;
    if (c == '<' || c == '>' || c == '_') c = ' ';
    AppendUtf8(out, c);
  }
  return Trim(out);
}

void Session::TakeThumbnail(Step& step) {
  if (o_.sheetFile.empty() || step.lines.empty() || !step.thumb.empty()) return;
  // Each thumbnail is kept until the end; a sheet taller than this is no
  // longer a glance anyway.
  if (thumbnails_ >= kSheetMostCells) return;
  ++thumbnails_;
  if (!sheetScratch_) {
    sheetScratch_ = std::make_unique<SimFramebuffer>(fb_->GetGeometry());
  }
  memcpy(sheetScratch_->Memory(), lastScreen_.data(),
         std::min(lastScreen_.size(), sheetScratch_->MemoryBytes()));
  int w = 0;
  int h = 0;
  const std::vector<uint8_t> rgb = ScreenToRGB(*sheetScratch_, PngOptions(), &w, &h);
  step.thumb = ShrinkRGB(rgb, w, h, 2, &step.thumbWidth, &step.thumbHeight);
}

void Session::Transition() {
  // The screen as last seen is what the step before this one ended with.
  // A step too short to become a subtitle of its own needs no picture.
  if (!steps_.empty() && NowMs() - steps_.back().ms >= kShortestEntryMs) {
    TakeThumbnail(steps_.back());
  }
  std::vector<std::string> lines;
  for (const auto& entry : visible_) {
    if (!entry.second.empty()) lines.push_back(entry.second);
  }
  Step step;
  step.ms = NowMs();
  step.lines = lines;
  steps_.push_back(std::move(step));
}

void Session::OnLog(const char* text) {
  if (quiet_) return;
  ++t_logLines;
  if (o_.logOut != nullptr && virtual_ == nullptr) fputs(text, o_.logOut);
  std::string line = text;
  // The main thread is about to wait for the reader thread to end: on
  // virtual time it must not hold the reader back meanwhile. Its next sleep
  // makes it take part again. (A reader that stops its own filter waits for
  // nobody: it simply ends.)
  if (virtual_ != nullptr && line == "ZUVA: Stoping PESFilter thread.\n" &&
      std::this_thread::get_id() == mainThread_) {
    virtual_->Withdraw();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (o_.logOut != nullptr && virtual_ != nullptr) {
    logBatch_ += line;
    if (logBatch_.size() >= kLogBatchBytes) FlushLogLocked();
  }
  if (o_.keepLog) r_.log += line;
  if (line.rfind("ZUVA: ", 0) == 0) line.erase(0, 6);
  if (!line.empty() && line.back() == '\n') line.pop_back();

  int a = 0, b = 0, c = 0, d = 0;
  if (line.rfind("Subtitle@", 0) == 0) {
    const auto colon = line.find(':');
    char* end = nullptr;
    const long row = strtol(line.c_str() + 9, &end, 10);
    if (colon != std::string::npos && end == line.c_str() + colon) {
      pendingRow_ = static_cast<int>(row);
      pendingText_ = line.substr(colon + 1);
    }
  } else if (line.rfind(" confFontSize =", 0) == 0) {
    if (pendingRow_ >= 0) {
      const std::string shown = Visible(pendingText_);
      visible_[pendingRow_] = shown;
      pendingWhat_.push_back("row " + std::to_string(pendingRow_) + ": " + shown);
      pendingRow_ = -1;
      Transition();
    }
  } else if (line == "CLEAR Subtitle page." || line.rfind("  BBOX clear", 0) == 0) {
    visible_.clear();
    nextBitmap_ = 1000;
    pendingWhat_.push_back("clear");
    Transition();
  } else if (sscanf(line.c_str(), "      BlitBitmap: w=%d, h=%d, xpos=%d, ypos=%d", &a, &b, &c,
                    &d) == 4) {
    const std::string what = "[bitmap " + std::to_string(a) + "x" + std::to_string(b) + " at " +
                             std::to_string(c) + "," + std::to_string(d) + "]";
    visible_[nextBitmap_++] = what;
    pendingWhat_.push_back(what);
    Transition();
  } else if (line.rfind("DVB FROM PMT: ", 0) == 0 || line.rfind("TXT FROM PMT: ", 0) == 0 || line.rfind("TXT EXTERNAL ", 0) == 0 ||
             line == "-> Let's fall into zzzzzzz...") {
    pendingWhat_.push_back("message: " + line);
  }
}

// Called with the screen's drawing lock held: the screen is consistent.
void Session::OnUnlock() {
  // The decoders log before they draw; the reader thread's silent sequences
  // are its looks at the screen, and comparing the whole screen after each
  // of them would slow the reader down enough to shift its timing. The main
  // thread's (the message line and its blanking) are always compared.
  if (std::this_thread::get_id() != mainThread_ && t_logLines == t_logLinesAtUnlock) return;
  t_logLinesAtUnlock = t_logLines;
  // Only the rows the sequence drew can differ from the last frame.
  int first = 0, end = 0;
  app_->Screen().ChangedDeviceRows(first, end);
  if (first >= end) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const uint8_t* memory = fb_->Memory();
  const size_t bytes = fb_->MemoryBytes();
  const size_t from = std::min(bytes, static_cast<size_t>(first) * fb_->Stride());
  const size_t to = std::min(bytes, static_cast<size_t>(end) * fb_->Stride());
  // A sequence that changed nothing (the decoder looking at the screen before
  // it draws, a clear of an empty area) makes no frame; what was announced
  // stays for the frame that shows it.
  if (lastScreen_.size() != bytes) lastScreen_.assign(bytes, 0);
  // Row by row: the first differing row ends the comparison, and the copy
  // starts there.
  const size_t row = std::max<size_t>(fb_->Stride(), 1);
  size_t at = from;
  while (at < to && memcmp(lastScreen_.data() + at, memory + at, std::min(row, to - at)) == 0) at += row;
  if (at >= to) return;
  const size_t changed = at;
  for (; at < to; at += row) std::memcpy(lastScreen_.data() + at, memory + at, std::min(row, to - at));
  // A screen wiped without a word (the DVB decoder switched off at a service
  // change) shows nothing any more. What was just drawn is where a set byte
  // most likely is, so it is looked at first.
  if (!visible_.empty() && AllZero(memory + changed, to - changed) && AllZero(memory, changed) &&
      AllZero(memory + to, bytes - to)) {
    visible_.clear();
    nextBitmap_ = 1000;
    pendingWhat_.push_back("clear");
    Transition();
  }
  Frame frame;
  frame.number = static_cast<int>(r_.frames.size()) + 1;
  frame.stcMs = NowMs();
  for (const std::string& what : pendingWhat_) {
    if (!frame.what.empty()) frame.what += " | ";
    frame.what += what;
  }
  if (frame.what.empty()) frame.what = "message line";
  pendingWhat_.clear();
  r_.frames.push_back(frame);
  if (!o_.framesDir.empty()) {
    std::lock_guard<std::mutex> frames(framesMutex_);
    frameQueue_.push_back({frame.number, lastScreen_});
    framesReady_.notify_one();
  }
}

void Session::FrameWriter() {
  SimFramebuffer scratch(fb_->GetGeometry());
  for (;;) {
    PendingFrame frame;
    {
      std::unique_lock<std::mutex> lock(framesMutex_);
      framesReady_.wait(lock, [this] { return framesDone_ || !frameQueue_.empty(); });
      if (frameQueue_.empty()) return;
      frame = std::move(frameQueue_.front());
      frameQueue_.pop_front();
    }
    memcpy(scratch.Memory(), frame.memory.data(), std::min(frame.memory.size(), scratch.MemoryBytes()));
    char name[32];
    snprintf(name, sizeof name, "/frame-%05d.png", frame.number);
    if (!WriteScreenPng(o_.framesDir + name, scratch)) {
      OutputFailed(o_.framesDir + name + ": " + strerror(errno));
    }
  }
}

}  // namespace

std::string FormatTime(int64_t ms, char fractionSeparator) {
  if (ms < 0) ms = 0;
  char text[32];
  snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", static_cast<long long>(ms / 3600000),
           static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
           fractionSeparator, static_cast<long long>(ms % 1000));
  return text;
}

namespace {

void Session::Finish() {
  r_.endMs = stopMs_ >= 0 ? stopMs_ : NowMs();
  // A subtitle still up when the recording ends closes there, not after the
  // tail the replay adds to let the daemon finish.
  const int64_t cutMs = std::min(r_.endMs, RecordingEndMs());
  // Screen states in order, short steps of one drawing left out, equal
  // neighbours joined.
  std::vector<SrtEntry> entries;
  std::vector<size_t> lastSteps;  // of each entry, the step whose screen shows it whole
  if (!steps_.empty()) TakeThumbnail(steps_.back());
  for (size_t i = 0; i < steps_.size(); ++i) {
    if (steps_[i].lines.empty() || steps_[i].ms >= cutMs) continue;
    const int64_t end = i + 1 < steps_.size() ? std::min(steps_[i + 1].ms, cutMs) : cutMs;
    if (end - steps_[i].ms < kShortestEntryMs) continue;
    if (!entries.empty() && entries.back().lines == steps_[i].lines &&
        steps_[i].ms - entries.back().endMs < kShortestEntryMs) {
      entries.back().endMs = end;
      lastSteps.back() = i;
      continue;
    }
    entries.push_back({steps_[i].ms, end, steps_[i].lines});
    lastSteps.push_back(i);
  }
  r_.srt = entries;
  if (!o_.sheetFile.empty()) WriteSheet(lastSteps);
  if (!o_.srtFile.empty()) {
    std::ofstream srt(o_.srtFile, std::ios::trunc);
    srt << FormatSrt(entries);
    srt.close();
    if (!srt) OutputFailed(o_.srtFile + ": " + strerror(errno));
  }

  if (!o_.framesDir.empty()) {
    const std::string tsvPath = o_.framesDir + "/frames.tsv";
    std::ofstream tsv(tsvPath, std::ios::trunc);
    tsv << "frame\tfile\tstc_ms\ttime\twhat\n";
    const int64_t first = demux_->Recording().FirstTimestamp() / 90;
    for (const Frame& f : r_.frames) {
      char name[32];
      snprintf(name, sizeof name, "frame-%05d.png", f.number);
      tsv << f.number << "\t" << name << "\t" << (f.stcMs + first) << "\t" << FormatTime(f.stcMs)
          << "\t" << f.what << "\n";
    }
    tsv.close();
    if (!tsv) OutputFailed(tsvPath + ": " + strerror(errno));
  }
}

void Session::WriteSheet(const std::vector<size_t>& lastSteps) {
  std::vector<SheetCell> cells;
  for (size_t i = 0; i < lastSteps.size(); ++i) {
    Step& step = steps_[lastSteps[i]];
    if (step.thumb.empty()) break;  // beyond the most the sheet holds
    SheetCell cell;
    cell.startMs = r_.srt[i].startMs;
    cell.lines = r_.srt[i].lines;
    cell.rgb = std::move(step.thumb);
    cell.width = step.thumbWidth;
    cell.height = step.thumbHeight;
    cells.push_back(std::move(cell));
  }
  // The reader thread has ended; what the sheet's drawing logs is not the
  // daemon's and must not reach its log or its screen tracking.
  quiet_ = true;
  if (!WriteContactSheet(o_.sheetFile, cells, fontFile_, &r_.sheetError)) {
    OutputFailed(o_.sheetFile + ": " + r_.sheetError);
    r_.sheetError.clear();
  } else if (cells.size() < lastSteps.size()) {
    r_.sheetError = "the contact sheet shows the first " + std::to_string(cells.size()) + " of " +
                    std::to_string(lastSteps.size()) + " subtitles";
  }
  quiet_ = false;
}

Result Session::Play() {
  if (!Prepare()) {
    RemoveOwnDir();
    return r_;
  }
  if (!o_.framesDir.empty()) writer_ = std::thread([this] { FrameWriter(); });
  {
    LogCapture capture;
    capture.SetSink(LogSink, this);
    app_ = std::make_unique<Application>(platform_);
    t_replayClock = virtual_;
    if (virtual_ != nullptr) app_->Filter().SetThreadCreator(CreateOnReplayClock);
    app_->Screen().SetUnlockObserver(UnlockObserver, this);
    app_->Run();
    // The daemon's threads have ended: the main thread stops taking turns
    // (and may run on any processor again).
    if (virtual_ != nullptr) virtual_->Leave();
    t_replayClock = nullptr;
    app_->Screen().SetUnlockObserver(nullptr, nullptr);
    Finish();
    app_.reset();
    FlushLog();
  }
  // What the whole recording's clock was like is known once it has been
  // gone through.
  const std::string note = ClockNote(demux_->Recording());
  if (!note.empty() && o_.logOut != nullptr) fputs(note.c_str(), o_.logOut);
  if (writer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(framesMutex_);
      framesDone_ = true;
    }
    framesReady_.notify_all();
    writer_.join();
  }
  const TSRecording& recording = demux_->Recording();
  if (recording.Size() > 0) {
    r_.recordingReads =
        static_cast<double>(recording.BytesRead()) / static_cast<double>(recording.Size());
  }
  r_.leakedHandles = io_.OpenHandles();
  r_.leakedMappings = io_.LiveMappings();
  RemoveOwnDir();
  return r_;
}

}  // namespace

std::string FormatSrt(const std::vector<SrtEntry>& entries) {
  std::string out;
  int n = 0;
  for (const SrtEntry& e : entries) {
    out += std::to_string(++n) + "\n" + FormatTime(e.startMs) + " --> " + FormatTime(e.endMs) +
           "\n";
    for (const std::string& line : e.lines) out += line + "\n";
    out += "\n";
  }
  return out;
}

Result Run(const Options& options) {
  Session session(options);
  return session.Play();
}

}  // namespace replay
