#include "app/status_tool.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/status_writer.h"
#include "common/command_line.h"
#include "config/dvbv5_channels.h"
#include "stream/service_pids.h"

namespace {

const char kUsage[] =
    "Usage: zuva-status --sid N | --channel NAME [--channels FILE] [options]\n"
    "       zuva-status --clear\n"
    "\n"
    "Tells the zuva daemon which service is playing, by writing its status file\n"
    "the way the box's plugin does (seven lines, replaced in one step).\n"
    "\n"
    "  -s, --sid N            the service id; its PMT, video, audio and teletext\n"
    "                         PIDs are read from the PAT and PMT on the demultiplexer\n"
    "  -c, --channel NAME     the service of the [NAME] section of a DVBv5 channel\n"
    "                         file, as dvbv5-scan writes and dvbv5-zap reads it\n"
    "      --channels FILE    that file (default: dvb_channel.conf)\n"
    "  -p, --pmt PID          the PMT PID, when no demultiplexer is at hand; the\n"
    "                         demultiplexer is then not opened\n"
    "      --adapter N        read the PAT and PMT on DVB adapter N (default 0)\n"
    "      --demux N          on its demultiplexer N (default 0)\n"
    "  -a, --aspect A         4:3, 16:9 or the plugin's aspect code (default 16:9)\n"
    "  -P, --playback         the service is a recording being played back\n"
    "      --status-file FILE the file to write (default /tmp/ZUVA.tmp)\n"
    "  -n, --print            print the seven lines instead of writing them\n"
    "      --clear            remove the status file\n"
    "  -h, --help             show this text\n"
    "      --version          show the version\n"
    "\n"
    "Exit status: 0 done, 1 the demultiplexer or the file failed, 2 bad input.\n";

enum {
  kSid,
  kChannel,
  kChannels,
  kPmt,
  kAspect,
  kPlayback,
  kStatusFile,
  kPrint,
  kClear,
  kAdapter,
  kDemux
};

// Decimal, or hexadecimal after "0x".
bool ParseNumber(const char* text, int low, int high, int& out) {
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  long long n = 0;
  if (!cli::ToInt(text, low, high, n, hex ? 16 : 10)) return false;
  out = static_cast<int>(n);
  return true;
}

struct Request {
  int sid = -1;
  std::string channel;
  std::string channels = "dvb_channel.conf";
  int pmt = -1;
  int aspect = 2;
  bool playback = false;
  bool print = false;
  bool clear = false;
  std::string statusFile;
  DeviceChoice devices;
};

class Tool {
 public:
  Tool(const Platform& platform, const DeviceSelector& select, FILE* out, FILE* err)
      : platform_(platform), select_(select), out_(out), err_(err) {}
  int Run(int argc, char** argv);

 private:
  int Fail(int status, const std::string& message) {
    fprintf(err_, "zuva-status: %s\n", message.c_str());
    return status;
  }
  int Parse(int argc, char** argv, Request& r);

  Platform platform_;
  DeviceSelector select_;
  FILE* out_;
  FILE* err_;
};

// 0 to go on, -1 when the help or version was printed, else an exit status.
int Tool::Parse(int argc, char** argv, Request& r) {
  r.statusFile = platform_.paths.statusFile;
  const auto handle = [&r](int id, const char* arg, std::string& error) {
    switch (id) {
      case kSid:
        if (!ParseNumber(arg, 1, 0xFFFF, r.sid)) error = "--sid takes a service id from 1 to 65535";
        break;
      case kChannel: r.channel = arg; break;
      case kChannels: r.channels = arg; break;
      case kPmt:
        if (!ParseNumber(arg, 1, 0x1FFE, r.pmt)) error = "--pmt takes a PID from 1 to 8190";
        break;
      case kAspect:
        if (strcmp(arg, "4:3") == 0) {
          r.aspect = 1;
        } else if (strcmp(arg, "16:9") == 0) {
          r.aspect = 2;
        } else if (!ParseNumber(arg, 0, 255, r.aspect)) {
          error = "--aspect takes 4:3, 16:9 or a number from 0 to 255";
        }
        break;
      case kPlayback: r.playback = true; break;
      case kStatusFile: r.statusFile = arg; break;
      case kPrint: r.print = true; break;
      case kClear: r.clear = true; break;
      case kAdapter:
        if (!DeviceChoice::ParseNumber(arg, r.devices.adapter)) {
          error = "--adapter takes a number from 0 to 255";
        }
        break;
      case kDemux:
        if (!DeviceChoice::ParseNumber(arg, r.devices.demux)) {
          error = "--demux takes a number from 0 to 255";
        }
        break;
      default: break;
    }
    return error.empty();
  };
  cli::Program program{"zuva-status",
                       kUsage,
                       {{"sid", 's', true, kSid},
                        {"channel", 'c', true, kChannel},
                        {"channels", 0, true, kChannels},
                        {"pmt", 'p', true, kPmt},
                        {"aspect", 'a', true, kAspect},
                        {"playback", 'P', false, kPlayback},
                        {"status-file", 0, true, kStatusFile},
                        {"print", 'n', false, kPrint},
                        {"clear", 0, false, kClear},
                        {"adapter", 0, true, kAdapter},
                        {"demux", 0, true, kDemux}},
                       handle};
  program.out = out_;
  program.err = err_;
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status == 0) return -1;
  if (status > 0) return status;
  if (!operands.empty()) return Fail(2, "unexpected argument " + operands[0]);
  if (r.clear) {
    if (r.sid >= 0 || !r.channel.empty() || r.pmt >= 0 || r.print) {
      return Fail(2, "--clear takes no service");
    }
    return 0;
  }
  if ((r.sid >= 0) == !r.channel.empty()) return Fail(2, "give either --sid N or --channel NAME");
  if (r.statusFile.empty()) return Fail(2, "--status-file needs a file name");
  return 0;
}

int Tool::Run(int argc, char** argv) {
  Request r;
  const int parsed = Parse(argc, argv, r);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  if (r.clear) {
    if (unlink(r.statusFile.c_str()) != 0 && errno != ENOENT) {
      return Fail(1, "cannot remove " + r.statusFile + ": " + strerror(errno));
    }
    return 0;
  }

  StatusRecord record;
  record.sid = r.sid;
  if (!r.channel.empty()) {
    std::ifstream in(r.channels, std::ios::binary);
    if (!in) return Fail(2, "cannot read channel file " + r.channels + ": " + strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    DvbV5Service service;
    std::string error;
    if (!FindDvbV5Service(text.str(), r.channel, service, error)) {
      return Fail(2, r.channels + ": " + error);
    }
    if (service.serviceId < 1)
      return Fail(2, r.channels + ": channel \"" + r.channel + "\" has service id 0");
    record.sid = service.serviceId;
    record.vpid = service.videoPid;
    record.apid = service.audioPid;
  }
  record.aspect = r.aspect;
  record.seekable = r.playback ? 1 : 0;

  if (r.pmt > 0) {
    record.pmtPid = r.pmt;
  } else {
    r.devices.ApplyTo(platform_.paths);
    if (select_) platform_.io = select_(platform_.paths);
    const std::string demuxName = platform_.io->DevicePath(platform_.paths.demux);
    ServicePids pids;
    switch (ReadServicePids(platform_, record.sid, pids)) {
      case ServiceScan::Ok:
        break;
      case ServiceScan::NoDevice:
        return Fail(1,
                    "cannot use the demultiplexer " + demuxName + " (give --pmt PID without one)");
      case ServiceScan::NoPat:
        return Fail(1, "no PAT on " + demuxName + ": is a tuner tuned and held (dvbv5-zap -r)?");
      case ServiceScan::NotInPat:
        return Fail(
            2, "service " + std::to_string(record.sid) + " is not in the PAT on " + demuxName);
      case ServiceScan::NoPmt:
        return Fail(1, "the PMT of service " + std::to_string(record.sid) + " did not arrive on " +
                           demuxName);
    }
    record.pmtPid = pids.pmtPid;
    // The channel file's PIDs are what the user tuned; the PMT fills the gaps.
    if (record.vpid == 0) record.vpid = pids.vpid;
    if (record.apid == 0) record.apid = pids.apid;
    record.tpid = pids.tpid;
  }

  if (r.print) {
    fputs(FormatStatus(record).c_str(), out_);
    return 0;
  }
  std::string error;
  if (!WriteStatusFile(r.statusFile, record, &error)) return Fail(1, error);
  return 0;
}

}  // namespace

int RunStatusTool(int argc, char** argv, const Platform& platform, FILE* out, FILE* err,
                  const DeviceSelector& select) {
  Tool tool(platform, select, out, err);
  return tool.Run(argc, argv);
}
