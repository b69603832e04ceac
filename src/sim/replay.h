#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class DeviceIO;
class SimDeviceIO;
class TSRecording;

// Plays a recording through the unchanged Application on simulated devices,
// acting as the box's plugin: it writes the status file for the chosen
// service (and rewrites it for scheduled service changes), lets the daemon
// run, and records what a viewer would see: the frames of the screen and the
// subtitle text with its on and off times.
namespace replay {

struct Program {
  int number;
  int pmtPid;
};

// The programs of the first intact PAT of a recording, the network entry left
// out. False when the recording carries no intact PAT.
bool FindPrograms(const TSRecording& recording, std::vector<Program>& programs);

// One line saying how the recording's time line was made when that is worth
// knowing (no clock at all, damaged clock values); empty otherwise.
std::string ClockNote(const TSRecording& recording);

struct ServiceChange {
  double atSeconds;  // replay time at which the plugin rewrites the status file
  int sid;
};

// Something the plugin or the user does at a moment of the replay, on the
// main loop's thread between two cycles, such as creating a flag file.
struct Action {
  double atSeconds;
  std::function<void(const std::string& workDir)> run;
};

struct Options {
  std::string recording;
  int service = -1;                   // -1: the first program of the PAT
  std::string configFile;             // empty: the example settings below
  std::string channelsFile;           // empty: none
  std::string translationFile;        // empty: the project's data/zuva.translation
  std::vector<std::string> settings;  // "Key value" lines on top of the settings file
  double speed = 1.0;                 // 0 or less: as fast as the daemon's timing allows
  int64_t bitRate = 0;                // a recording without clock is placed at this
                                      // many bits per second; 0: the default
  std::string framesDir;              // empty: no frames
  std::string srtFile;                // empty: no SubRip file
  std::string sheetFile;              // empty: no contact sheet (a PNG)
  int bitsPerPixel = 32;
  int screenWidth = 720;              // the simulated framebuffer's size; the daemon
  int screenHeight = 576;             // places its 720 x 576 picture on a larger one
  bool playback = false;  // the status file's Seekable line set: RecDelay applies
  bool dvb = false;       // the setting UseDVBSubtitles 1: DVB streams are shown
  int aspect = 2;         // the status file's Aspect line (2: 16:9)
  std::vector<ServiceChange> changes;
  std::vector<Action> actions;
  std::string workDir;       // where the box's files live; empty: a temporary folder
  double tailSeconds = 1.0;  // replay time after the end of the recording
  FILE* logOut = stderr;     // where the daemon's log goes; null: nowhere
  bool keepLog = false;      // keep the whole log in the result
  // Puts a layer of the caller's between the daemon and the simulated devices
  // (fault injection, accounting): called once before the daemon is built,
  // with the simulator, and returns the DeviceIO the daemon is to use. The
  // caller owns it; it must outlive the run. Null (or returning null): the
  // daemon uses the simulator directly.
  std::function<DeviceIO*(SimDeviceIO* devices)> wrapDevices;
};

struct SrtEntry {
  int64_t startMs;
  int64_t endMs;
  std::vector<std::string> lines;  // UTF-8, screen order
};

struct Frame {
  int number;
  int64_t stcMs;     // relative to the start of the recording
  std::string what;  // what was drawn since the previous frame
};

struct Result {
  int status = 0;  // 0 played; 1 recording unreadable; 2 bad options
  std::string error;
  std::string sheetError;  // why the contact sheet was not written, or is cut short
  std::string log;  // when keepLog
  std::vector<SrtEntry> srt;
  std::vector<Frame> frames;
  int64_t endMs = 0;  // replay position when the daemon was stopped
  std::string workDir;  // where the box's files were; a temporary one is gone again
  double recordingReads = 0;  // bytes read over the recording's size
  int leakedHandles = 0;
  int leakedMappings = 0;
};

// Plays the recording as the options say. Frames and SubRip are written to
// the named places as well as returned.
Result Run(const Options& options);

// The entries as SubRip text.
std::string FormatSrt(const std::vector<SrtEntry>& entries);
// HH:MM:SS,mmm as SubRip writes times (another separator for other uses).
std::string FormatTime(int64_t ms, char fractionSeparator = ',');

}  // namespace replay
