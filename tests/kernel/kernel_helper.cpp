// zuva-kernel-helper: the jobs of the kernel test (scripts/kernel-test.sh)
// that busybox cannot do inside the test machine. MS is CLOCK_MONOTONIC in
// milliseconds, the same clock in every mode.
//
//   feed DVR RECORDING.ts LEAD_SECONDS [--sid N] [--pcr-from-pts] [--bad-pmt]
//       Writes the recording into DVR at the pace of its own clock, after
//       LEAD_SECONDS of its PAT and PMTs every 100 ms with PCR on the PCR_PID
//       of service N (default the first), continuous with the recording's
//       clock, so that zuva-status and the daemon can read them first.
//       --pcr-from-pts: the recording has no PCR; it is written half a second
//       behind the PTS every 40 ms. --bad-pmt: each lead-in PMT goes after a
//       twin whose "fra" reads "xxx" and whose CRC is wrong. Continuity
//       counters are renumbered per PID. Prints "start MS PCR" (when the first
//       packet goes, and the fed clock then) and "end MS LAG_MS" (the most any
//       packet went late).
//   watch FB OUTDIR STOPFILE MAX_SECONDS
//       Polls FB every 10 ms: every change to OUTDIR/events.tsv as "MS PIXELS
//       FRAME", non-empty screens to OUTDIR/frame-N.raw (4 bytes a pixel).
//   stamp
//       Copies standard input to standard output, each line prefixed "MS ".
//   sections DEMUX PID COUNT crc|nocrc
//       Reads COUNT sections of table 0x02 on PID, with or without the
//       kernel's CRC check; one line each: its language bytes, its CRC holds.
//   png RAW WIDTH HEIGHT OUT.png
//       A raw screen of `watch` as a PNG, composited as zuva-replay's.

#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/fb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "platform/clock.h"
#include "sim/png_writer.h"
#include "sim/sim_framebuffer.h"
#include "sim/ts_recording.h"
#include "tsgen/ts.h"

namespace {

using Bytes = std::vector<uint8_t>;

int64_t NowMs() { return RealClock::Instance()->NowMicros() / 1000; }

void SleepUntilMs(int64_t when) {
  const int64_t wait = when - NowMs();
  if (wait > 0) usleep(static_cast<useconds_t>(wait * 1000));
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The section that starts in a packet with payload_unit_start, when it fits in
// that packet (the PAT and PMT of the samples do).
bool SingleSection(const uint8_t* packet, size_t* start, size_t* length) {
  size_t offset = 0;
  size_t size = 0;
  if ((packet[1] & 0x40) == 0 || !PacketPayload(packet, &offset, &size) || size < 1) return false;
  const size_t s = offset + 1 + packet[offset];
  if (s + 3 > TSRecording::kPacketSize) return false;
  const size_t len = 3 + (((packet[s + 1] & 0x0F) << 8) | packet[s + 2]);
  if (len < 16 || s + len > TSRecording::kPacketSize) return false;
  *start = s;
  *length = len;
  return true;
}

class Feeder {
 public:
  Feeder(int fd) : fd_(fd) {}
  // Queues one packet with its continuity counter renumbered.
  void Add(const uint8_t* packet) {
    const size_t at = pending_.size();
    pending_.insert(pending_.end(), packet, packet + TSRecording::kPacketSize);
    const uint16_t pid = PacketPid(packet);
    uint8_t& cc = cc_[pid];
    pending_[at + 3] = static_cast<uint8_t>((pending_[at + 3] & 0xF0) | cc);
    if (packet[3] & 0x10) cc = static_cast<uint8_t>((cc + 1) & 0x0F);
  }
  void AddPCR(uint16_t pid, int64_t pcr) {
    const Bytes p = tsgen::PCRPacket(pid, pcr & 0x1FFFFFFFFLL, 0);
    Add(p.data());
  }
  bool Flush() {
    const bool ok = WriteAll(fd_, pending_.data(), pending_.size());
    pending_.clear();
    return ok;
  }

 private:
  int fd_;
  Bytes pending_;
  std::map<uint16_t, uint8_t> cc_;
};

int Feed(int argc, char** argv) {
  if (argc < 3) return 2;
  const double lead = atof(argv[2]);
  bool pcrFromPts = false;
  bool badPmt = false;
  int sid = -1;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--sid") == 0 && i + 1 < argc) sid = atoi(argv[++i]);
    pcrFromPts |= strcmp(argv[i], "--pcr-from-pts") == 0;
    badPmt |= strcmp(argv[i], "--bad-pmt") == 0;
  }
  TSRecording rec;
  std::string error;
  if (!rec.Load(argv[1], &error)) {
    fprintf(stderr, "feed: %s\n", error.c_str());
    return 1;
  }
  // The first PAT, every PMT it names, and the first PMT's PCR_PID.
  std::vector<Bytes> psi;
  std::vector<uint16_t> pmtPids;
  uint16_t pcrPmt = 0x1FFF;
  uint16_t pcrPid = 0x1FFF;
  std::map<uint16_t, bool> seen;
  rec.Visit(0, [&](size_t, const uint8_t* p) {
    size_t s = 0;
    size_t len = 0;
    const uint16_t pid = PacketPid(p);
    if (seen[pid] || !SingleSection(p, &s, &len)) return true;
    if (pid == 0 && pmtPids.empty() && p[s] == 0x00) {
      for (size_t e = s + 8; e + 4 <= s + len - 4; e += 4) {
        const int program = (p[e] << 8) | p[e + 1];
        if (program == 0) continue;
        pmtPids.push_back(static_cast<uint16_t>(((p[e + 2] & 0x1F) << 8) | p[e + 3]));
        if (pcrPmt == 0x1FFF && (sid < 0 || sid == program)) pcrPmt = pmtPids.back();
      }
      seen[pid] = true;
      psi.emplace_back(p, p + TSRecording::kPacketSize);
    } else if (p[s] == 0x02 && std::find(pmtPids.begin(), pmtPids.end(), pid) != pmtPids.end()) {
      if (pid == pcrPmt) pcrPid = static_cast<uint16_t>(((p[s + 8] & 0x1F) << 8) | p[s + 9]);
      seen[pid] = true;
      psi.emplace_back(p, p + TSRecording::kPacketSize);
    }
    return psi.size() < pmtPids.size() + 1 || pmtPids.empty();
  });
  if (psi.size() < 2 || pcrPid == 0x1FFF) {
    fprintf(stderr, "feed: no PAT, PMT or PCR_PID in %s\n", argv[1]);
    return 1;
  }
  const int fd = open(argv[0], O_WRONLY);
  if (fd < 0) {
    fprintf(stderr, "feed: cannot open %s: %s\n", argv[0], strerror(errno));
    return 1;
  }
  Feeder out(fd);
  // The fed clock at the recording's first packet: from the first PCR of the
  // service's own PCR_PID where it has one (services of a multiplex run
  // clocks of their own), else from the recording's time line.
  const int64_t behind = pcrFromPts ? 45000 : 0;
  int64_t clock0 = rec.Place(0) + rec.ClockOffset(0) - behind;
  if (!pcrFromPts) {
    rec.Visit(0, [&](size_t i, const uint8_t* p) {
      if (PacketPid(p) != pcrPid || PacketPCR(p) < 0) return true;
      clock0 = PacketPCR(p) - (rec.Place(i) - rec.Place(0));
      return false;
    });
  }
  const int64_t leadTicks = static_cast<int64_t>(lead * 90000);
  const int64_t begin = NowMs();
  const int64_t t0 = begin + static_cast<int64_t>(lead * 1000);
  for (int64_t at = begin; at < t0; at += 100) {
    SleepUntilMs(at);
    for (const Bytes& p : psi) {
      if (badPmt && PacketPid(p.data()) != 0) {
        Bytes bad = p;
        size_t s = 0;
        size_t len = 0;
        SingleSection(bad.data(), &s, &len);
        for (size_t i = s; i + 3 <= s + len - 4; ++i) {
          if (memcmp(&bad[i], "fra", 3) == 0) memcpy(&bad[i], "xxx", 3);
        }
        bad[s + len - 1] ^= 0x5A;
        out.Add(bad.data());
      }
      out.Add(p.data());
    }
    out.AddPCR(pcrPid, clock0 - leadTicks + (at - begin) * 90);
    if (!out.Flush()) {
      fprintf(stderr, "feed: write failed: %s\n", strerror(errno));
      return 1;
    }
  }
  printf("start %lld %lld\n", static_cast<long long>(t0), static_cast<long long>(clock0 & 0x1FFFFFFFFLL));
  fflush(stdout);
  const int64_t place0 = rec.Place(0);
  int64_t nextPcr = place0;
  int64_t lag = 0;
  bool ok = true;
  rec.Visit(0, [&](size_t i, const uint8_t* p) {
    const int64_t due = t0 + (rec.Place(i) - place0) / 90;
    if (due > NowMs()) {
      ok = out.Flush();
      SleepUntilMs(due);
    }
    lag = std::max(lag, NowMs() - due);
    if (pcrFromPts && rec.Place(i) >= nextPcr) {
      out.AddPCR(pcrPid, rec.Place(i) + rec.ClockOffset(i) - behind);
      nextPcr = rec.Place(i) + 3600;
    }
    out.Add(p);
    return ok;
  });
  ok = ok && out.Flush();
  close(fd);
  printf("end %lld %lld\n", static_cast<long long>(NowMs()), static_cast<long long>(lag));
  return ok ? 0 : 1;
}

int Watch(int argc, char** argv) {
  if (argc < 4) return 2;
  const int fd = open(argv[0], O_RDONLY);
  fb_var_screeninfo var{};
  fb_fix_screeninfo fix{};
  if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0 ||
      var.bits_per_pixel != 32) {
    fprintf(stderr, "watch: no 32-bit framebuffer at %s\n", argv[0]);
    return 1;
  }
  const size_t rowBytes = var.xres * 4;
  const size_t size = static_cast<size_t>(fix.line_length) * var.yres;
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return 1;
  const uint8_t* screen = static_cast<const uint8_t*>(map);
  const std::string dir = argv[1];
  FILE* events = fopen((dir + "/events.tsv").c_str(), "w");
  if (events == nullptr) return 1;
  Bytes last(rowBytes * var.yres, 0);
  Bytes now(last.size());
  const int64_t stopAt = NowMs() + atoi(argv[3]) * 1000;
  int frames = 0;
  struct stat st {};
  while (NowMs() < stopAt && stat(argv[2], &st) != 0) {
    // Every fourth row tells whether anything changed (no subtitle is that
    // thin) at a quarter of the cost, which the daemon would otherwise pay
    // for on the test machine's emulated processors.
    bool changed = false;
    for (size_t y = 0; y < var.yres && !changed; y += 4) {
      changed = memcmp(&last[y * rowBytes], screen + y * fix.line_length, rowBytes) != 0;
    }
    for (size_t y = 0; changed && y < var.yres; ++y) memcpy(&now[y * rowBytes], screen + y * fix.line_length, rowBytes);
    if (changed) {
      const int64_t t = NowMs();
      size_t pixels = 0;
      for (size_t i = 0; i < now.size(); i += 4) pixels += (now[i] | now[i + 1] | now[i + 2] | now[i + 3]) != 0;
      int frame = -1;
      if (pixels > 0 && frames < 200) {
        frame = frames++;
        FILE* f = fopen((dir + "/frame-" + std::to_string(frame) + ".raw").c_str(), "w");
        if (f != nullptr) {
          fwrite(now.data(), 1, now.size(), f);
          fclose(f);
        }
      }
      fprintf(events, "%lld %zu %d\n", static_cast<long long>(t), pixels, frame);
      fflush(events);
      last.swap(now);
    }
    usleep(10000);
  }
  fclose(events);
  return 0;
}

int Stamp() {
  char line[2048];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    printf("%lld %s", static_cast<long long>(NowMs()), line);
    if (strchr(line, '\n') == nullptr) putchar('\n');
    fflush(stdout);
  }
  return 0;
}

int Sections(int argc, char** argv) {
  if (argc < 4) return 2;
  const int fd = open(argv[0], O_RDWR | O_NONBLOCK);
  if (fd < 0) return 1;
  dmx_sct_filter_params params{};
  params.pid = static_cast<uint16_t>(strtol(argv[1], nullptr, 0));
  params.filter.filter[0] = 0x02;
  params.filter.mask[0] = 0xFF;
  params.flags = DMX_IMMEDIATE_START | (strcmp(argv[3], "crc") == 0 ? DMX_CHECK_CRC : 0);
  if (ioctl(fd, DMX_SET_FILTER, &params) != 0) {
    fprintf(stderr, "sections: DMX_SET_FILTER: %s\n", strerror(errno));
    return 1;
  }
  for (int n = atoi(argv[2]); n > 0; --n) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1) {
      printf("timeout\n");
      return 1;
    }
    uint8_t buf[4096];
    const ssize_t got = read(fd, buf, sizeof buf);
    if (got < 16) {
      printf("short %zd\n", got);
      continue;
    }
    const bool lang = memmem(buf, static_cast<size_t>(got), "xxx", 3) != nullptr;
    printf("%s crc=%s\n", lang ? "lang=xxx" : "lang=good",
           Crc32Mpeg(buf, static_cast<size_t>(got)) == 0 ? "ok" : "bad");
  }
  return 0;
}

int Png(int argc, char** argv) {
  if (argc < 4) return 2;
  const int w = atoi(argv[1]);
  const int h = atoi(argv[2]);
  FILE* f = fopen(argv[0], "r");
  if (f == nullptr || w <= 0 || h <= 0) return 1;
  // Into a simulated screen of the same layout, to be composited by the code
  // that writes zuva-replay's frames.
  SimFramebuffer fb({32, w, h, w});
  const size_t got = fread(fb.Memory(), 1, fb.MemoryBytes(), f);
  fclose(f);
  return got == fb.MemoryBytes() && WriteScreenPng(argv[3], fb) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int status = 2;
  if (mode == "feed") status = Feed(argc - 2, argv + 2);
  if (mode == "watch") status = Watch(argc - 2, argv + 2);
  if (mode == "stamp") status = Stamp();
  if (mode == "sections") status = Sections(argc - 2, argv + 2);
  if (mode == "png") status = Png(argc - 2, argv + 2);
  if (status == 2) fprintf(stderr, "usage: see the comment at the top of tests/kernel/kernel_helper.cpp\n");
  return status;
}
