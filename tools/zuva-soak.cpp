// zuva-soak: plays a long generated recording through the unchanged daemon at
// high speed while the plugin and the user keep it busy (service changes every
// few seconds, the disable and reload flags, a broken status file half-way) and
// the demultiplexer keeps failing at random (reads, section time-outs, filters
// that cannot be set). At the end the process must hold what it held after a
// warm-up run: heap, descriptors, simulated handles and mappings, threads and
// PES packets. Growth, a leak or a wedged daemon makes the exit status 1; a
// crash ends the process with the signal. With --ber the PES bytes the daemon
// reads carry random bit errors, and the subtitles shown are compared with a
// clean replay of the same schedule.
//
//   zuva-soak [options] [SECONDS]

#include <dirent.h>
#include <errno.h>
#include <malloc.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "platform/box_dmx.h"
#include "platform/device_io.h"
#include "sim/replay.h"
#include "sim/sim_device_io.h"
#include "stream/pes_filter.h"
#include "tsgen/demo.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZUVA_SOAK_SANITIZED 1
#else
#define ZUVA_SOAK_SANITIZED 0
#endif

// Every allocation of the process (the daemon's, FreeType's, the C
// library's) is counted, so the check at the end can be exact in blocks and
// bytes instead of guessing through the allocator's own figures, which move
// with its per-thread caches. The C library's allocator does the work; these
// only keep count. Not in a sanitizer's build, whose allocator must see every
// allocation itself.
#if !ZUVA_SOAK_SANITIZED
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {
std::atomic<long> gLiveBlocks{0};
std::atomic<long> gLiveBytes{0};

void* Counted(void* p) {
  if (p != nullptr) {
    gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    gLiveBytes.fetch_add(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
  }
  return p;
}

void Uncount(void* p) {
  if (p == nullptr) return;
  gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  gLiveBytes.fetch_sub(static_cast<long>(malloc_usable_size(p)), std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t size) { return Counted(__libc_malloc(size)); }
void* calloc(size_t count, size_t size) { return Counted(__libc_calloc(count, size)); }
void free(void* p) {
  Uncount(p);
  __libc_free(p);
}
void* realloc(void* p, size_t size) {
  if (p == nullptr) return malloc(size);
  if (size == 0) {
    free(p);
    return nullptr;
  }
  const long before = static_cast<long>(malloc_usable_size(p));
  void* moved = __libc_realloc(p, size);
  if (moved != nullptr) {
    gLiveBytes.fetch_add(static_cast<long>(malloc_usable_size(moved)) - before,
                         std::memory_order_relaxed);
  }
  return moved;
}
void* reallocarray(void* p, size_t count, size_t size) {
  size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(p, total);
}
void* memalign(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size)); }
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void* valloc(size_t size) { return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }
void* pvalloc(size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return memalign(page, (size + page - 1) / page * page);
}
}
#define ZUVA_SOAK_COUNTS_ALLOCATIONS 1
#else
#define ZUVA_SOAK_COUNTS_ALLOCATIONS 0
#endif

namespace {

const char kUsage[] =
    "Usage: zuva-soak [options] [SECONDS]\n"
    "\n"
    "Generates a demonstration recording of SECONDS seconds (default 300) and\n"
    "plays it through the daemon on simulated devices as fast as the daemon's\n"
    "timing allows, with service changes, flag files, a broken status file and\n"
    "random demultiplexer faults; then checks that memory, descriptors and\n"
    "threads are back where they were after a warm-up run.\n"
    "\n"
    "  --seed N          seed of the fault and schedule choices (default 1)\n"
    "  --rounds N        play the recording N times, each with other faults (default 1)\n"
    "  --every MIN       print the figures every MIN minutes of replay (default 5)\n"
    "  --speed X         replay speed factor instead of the virtual clock\n"
    "  --fault-scale F   multiply every fault rate by F (default 1; 0: no faults)\n"
    "  --srt PREFIX      write each round's subtitles to PREFIX-N.srt\n"
    "  --log FILE        write the daemon's log to FILE (default: nowhere)\n"
    "  --heap-slack KB   growth of the memory allocated allowed at the end\n"
    "                    (default 4)\n"
    "  --block-slack N   growth of the number of live allocations allowed at the\n"
    "                    end (default 8)\n"
    "  --cache-slack KB  growth of malloc's own in-use figure, caches included\n"
    "                    (default 1024)\n"
    "  --rss-slack KB    resident size growth allowed at the end (default 16384)\n"
    "  --max-gap SEC     longest replay time without a subtitle shown (default 300)\n"
    "  --ber RATE        flip each bit of the PES data read at this rate (seeded,\n"
    "                    0 to 0.01; default 0); a clean replay of the same round\n"
    "                    is played first to count the subtitles lost\n"
    "  --steady          stay on the teletext service: no service changes, flag\n"
    "                    files or broken status file (for --ber figures)\n"
    "  -h, --help        show this text\n"
    "      --version     show the version\n"
    "\n"
    "Exit status: 0 when everything came back, 1 on growth, a leak or a check\n"
    "that failed, 2 on a usage error, 3 when a replay could not run.\n";

constexpr int kTeletextService = 100;
constexpr int kDvbService = 200;
constexpr int kWarmUpSeconds = 40;
const char kFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

int PmtOf(int sid) { return sid == kTeletextService ? 0x100 : 0x110; }

// ---------------------------------------------------------------------------
// Figures of the process.

struct Figures {
  long rssKb = 0;
  long heapKb = 0;  // in use by malloc, mapped chunks included
  long liveBlocks = 0;  // allocations alive
  long liveBytes = 0;
  int fds = 0;
  int threads = 0;
  int simHandles = 0;
  int simMappings = 0;
  int packets = 0;
};

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

Figures Measure(const SimDeviceIO* sim) {
  Figures f;
  malloc_trim(0);  // what free() kept back is not growth
  long pages = 0, resident = 0;
  if (FILE* statm = fopen("/proc/self/statm", "r")) {
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(statm);
  }
  f.rssKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
  const struct mallinfo2 m = mallinfo2();
  f.heapKb = static_cast<long>((m.uordblks + m.hblkhd) / 1024);
  // The directory stream itself holds one descriptor while it is read.
  f.fds = CountEntries("/proc/self/fd") - 1;
  f.threads = CountEntries("/proc/self/task");
  if (sim != nullptr) {
    f.simHandles = sim->OpenHandles();
    f.simMappings = sim->LiveMappings();
  }
  f.packets = PESFilter::LivePackets();
#if ZUVA_SOAK_COUNTS_ALLOCATIONS
  f.liveBlocks = gLiveBlocks.load();
  f.liveBytes = gLiveBytes.load();
#endif
  return f;
}

std::string Describe(const Figures& f) {
  char text[240];
  snprintf(text, sizeof text,
           "rss %ld KiB, heap %ld KiB, live %ld blocks/%ld bytes, fds %d, threads %d, "
           "sim handles %d, mappings %d, PES packets %d",
           f.rssKb, f.heapKb, f.liveBlocks, f.liveBytes, f.fds, f.threads, f.simHandles,
           f.simMappings, f.packets);
  return text;
}

std::string HoursMinutes(double seconds) {
  const long s = static_cast<long>(seconds);
  char text[32];
  snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

// ---------------------------------------------------------------------------
// Random demultiplexer and screen faults.

enum Fault {
  kOpenDemux,          // the demultiplexer cannot be opened
  kSetBufferSize,      // DMX_SET_BUFFERSIZE refused
  kSetPesFilter,       // DMX_SET_PES_FILTER refused
  kSetSectionFilter,   // DMX_SET_FILTER refused
  kSectionTimeOut,     // a section read times out
  kPesRead,            // a PES read fails
  kGetStc,             // DMX_GET_STC fails
  kMapScreen,          // the framebuffer cannot be mapped (seen on reloads)
  kFaultKinds
};

const char* const kFaultNames[kFaultKinds] = {
    "open demux", "set buffer size", "set PES filter", "set section filter",
    "section time-out", "PES read", "get STC", "map screen"};

// Chance of each fault per call of its kind. The PES reads and STC requests
// come every few milliseconds of replay time, so theirs are small.
const double kFaultRates[kFaultKinds] = {0.02, 0.03, 0.08, 0.04, 0.06, 0.002, 0.001, 0.05};

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Sits between the daemon and the simulator and fails chosen calls. Whether
// the n-th call of a kind fails depends only on the seed, the kind and n, so
// a run's faults do not depend on how the reader and main threads interleave
// between kinds. Close and munmap never fail: a failure there would leak in
// the simulator by our own hand, not the daemon's.
class FaultInjector : public DeviceIO {
 public:
  FaultInjector(SimDeviceIO* inner, uint64_t seed, double scale, double ber)
      : inner_(inner), seed_(seed), ber_(ber), flips_(Mix(seed ^ 0xB17E220EULL)) {
    for (int k = 0; k < kFaultKinds; ++k) rates_[k] = kFaultRates[k] * scale;
    if (ber_ > 0) nextFlip_ = DrawGap();
  }

  int Open(const char* path, int flags) override {
    const bool demux = strstr(path, "demux") != nullptr;
    if (demux && Fails(kOpenDemux, ENOENT)) return -1;
    const int fd = inner_->Open(path, flags);
    if (fd >= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      kinds_[fd] = kUnset;
    }
    return fd;
  }
  int Close(int fd) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      kinds_.erase(fd);
    }
    return inner_->Close(fd);
  }
  ssize_t Read(int fd, void* buffer, size_t count) override {
    const Use use = UseOf(fd);
    if (use == kSection && Fails(kSectionTimeOut, ETIMEDOUT)) return -1;
    if (use == kPes && Fails(kPesRead, EIO)) return -1;
    const ssize_t got = inner_->Read(fd, buffer, count);
    if (use == kPes && got > 0 && ber_ > 0) FlipBits(static_cast<uint8_t*>(buffer), got);
    return got;
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    if (request == DMX_SET_BUFFERSIZE && Fails(kSetBufferSize, EINVAL)) return -1;
    if (request == DMX_SET_PES_FILTER && Fails(kSetPesFilter, EBUSY)) return -1;
    if (request == DMX_SET_FILTER && Fails(kSetSectionFilter, EBUSY)) return -1;
    if (request == DMX_GET_STC && Fails(kGetStc, EIO)) return -1;
    const int result = inner_->Ioctl(fd, request, arg);
    if (result == 0 && (request == DMX_SET_PES_FILTER || request == DMX_SET_FILTER)) {
      std::lock_guard<std::mutex> lock(mutex_);
      kinds_[fd] = request == DMX_SET_PES_FILTER ? kPes : kSection;
    }
    return result;
  }
  void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
    if (Fails(kMapScreen, ENOMEM)) return reinterpret_cast<void*>(-1);
    return inner_->Mmap(addr, length, prot, flags, fd, offset);
  }
  int Munmap(void* addr, size_t length) override { return inner_->Munmap(addr, length); }

  long Injected(int kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_[kind];
  }
  long Calls(int kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_[kind];
  }
  const SimDeviceIO* Inner() const { return inner_; }
  long FlippedBits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flipped_;
  }

 private:
  // Bit errors land at positions of the PES byte stream drawn from the seed
  // alone (the gaps between them are geometric), so how the stream is cut
  // into reads does not move them.
  uint64_t DrawGap() { return std::geometric_distribution<uint64_t>(ber_)(flips_); }
  void FlipBits(uint8_t* bytes, ssize_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t bits = static_cast<uint64_t>(count) * 8;
    uint64_t at = nextFlip_;
    while (at < bits) {
      bytes[at / 8] ^= static_cast<uint8_t>(0x80u >> (at % 8));
      ++flipped_;
      at += 1 + DrawGap();
    }
    nextFlip_ = at - bits;
  }

  enum Use { kUnset, kSection, kPes };

  Use UseOf(int fd) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = kinds_.find(fd);
    return it == kinds_.end() ? kUnset : it->second;
  }

  bool Fails(int kind, int err) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t n = static_cast<uint64_t>(calls_[kind]++);
    const uint64_t draw = Mix(seed_ ^ Mix((static_cast<uint64_t>(kind) << 48) ^ n));
    if (static_cast<double>(draw >> 11) * 0x1.0p-53 >= rates_[kind]) return false;
    ++injected_[kind];
    errno = err;
    return true;
  }

  SimDeviceIO* inner_;
  uint64_t seed_;
  double ber_;
  std::mt19937_64 flips_;
  uint64_t nextFlip_ = 0;  // bits to pass before the next error
  long flipped_ = 0;
  double rates_[kFaultKinds] = {};
  mutable std::mutex mutex_;
  std::map<int, Use> kinds_;
  long calls_[kFaultKinds] = {};
  long injected_[kFaultKinds] = {};
};

// ---------------------------------------------------------------------------
// The daemon's log: counted by what it says, and kept in a file on request.

struct LogCounter {
  static constexpr int kKeys = 12;
  const char* keys[kKeys] = {"Service changed: ",
                             "Start TXT Subtile",
                             "Start DVB Subtile",
                             "Reload configs requested.",
                             "cause we are disabled.",
                             "Could not find ZUVA.tmp",
                             "Failed to read ",
                             "Failed ",
                             "ERROR: ",
                             "Subtitle@",
                             "PES length ",
                             "PES queue full"};
  long counts[kKeys] = {};
  long lines = 0;
  // PES filter starts that failed and later worked without a service change.
  long recoveries = 0;
  bool startPending = false;
  bool startFailed = false;
  // A log line is at most 1023 characters and its prefix; the line being
  // gathered lives here so that counting allocates nothing.
  char partial[1100] = {};
  size_t length = 0;
  FILE* copy = nullptr;

  void Line() {
    partial[length] = '\0';
    ++lines;
    for (int k = 0; k < kKeys; ++k) {
      if (strstr(partial, keys[k]) != nullptr) ++counts[k];
    }
    if (strstr(partial, "Filter starting: ") != nullptr) {
      startPending = true;
    } else if (startPending && strstr(partial, "Failed ") != nullptr) {
      startFailed = true;
      startPending = false;
    } else if (strstr(partial, "PESFilter thread started...") != nullptr) {
      if (startFailed) ++recoveries;
      startFailed = startPending = false;
    } else if (strstr(partial, "Stop PES decoding...") != nullptr) {
      startFailed = startPending = false;
    }
    length = 0;
  }
  void Reset() {
    for (long& c : counts) c = 0;
    lines = 0;
    recoveries = 0;
    startPending = startFailed = false;
  }
  static ssize_t Write(void* self, const char* data, size_t size) {
    LogCounter* c = static_cast<LogCounter*>(self);
    if (c->copy != nullptr) fwrite(data, 1, size, c->copy);
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') {
        c->Line();
      } else if (c->length + 1 < sizeof c->partial) {
        c->partial[c->length++] = data[i];
      }
    }
    return static_cast<ssize_t>(size);
  }
};

// ---------------------------------------------------------------------------
// What the plugin and the user do during a run.

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string StatusText(int sid) {
  return std::to_string(sid) + "\n0\n0\n0\n2\n0\n" + std::to_string(PmtOf(sid)) + "\n";
}

std::string SettingsText(const std::string& language, bool oddLine) {
  std::string text = "OSDMessages 1\nFont " + std::string(kFont) + "\nLanguage " + language + "\n";
  // Now and then a key the daemon does not know, with a long value.
  if (oddLine) text += "NoSuchKey " + std::string(600, 'x') + "\n";
  return text;
}

struct Schedule {
  std::vector<replay::ServiceChange> changes;
  std::vector<replay::Action> actions;
  int firstService = kTeletextService;
};

// Service changes every three to eight seconds, with longer stays between;
// the disable flag for a few seconds every minute or so; a reload with another
// language every half minute or so; and half-way the status file turns to
// garbage, then to half a file, then disappears, and comes back whole.
Schedule MakeSchedule(int seconds, uint64_t seed) {
  Schedule s;
  std::mt19937_64 random(seed);
  auto uniform = [&](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  const double half = seconds / 2.0;
  const double brokenFrom = half - 1, brokenTo = half + 7;

  int sid = s.firstService;
  std::vector<std::pair<double, int>> services;  // when each service began
  services.push_back({0, sid});
  // Mostly a few seconds on a service; now and then long enough for the
  // reader thread to run through several subtitles and their faults.
  auto stint = [&] { return uniform(0, 1) < 0.2 ? uniform(15, 40) : uniform(3, 8); };
  for (double t = stint(); t < seconds; t += stint()) {
    if (t > brokenFrom && t < brokenTo) continue;
    sid = sid == kTeletextService ? kDvbService : kTeletextService;
    s.changes.push_back({t, sid});
    services.push_back({t, sid});
  }
  auto serviceAt = [services](double t) {
    int current = services.front().second;
    for (const auto& p : services) {
      if (p.first <= t) current = p.second;
    }
    return current;
  };

  for (double t = uniform(20, 60); t + 6 < seconds; t += uniform(40, 80)) {
    const double off = t + uniform(2, 5);
    s.actions.push_back({t, [](const std::string& d) { WriteFile(d + "/.ZUVA_Disable", ""); }});
    s.actions.push_back({off, [](const std::string& d) { unlink((d + "/.ZUVA_Disable").c_str()); }});
  }
  int reloads = 0;
  for (double t = uniform(10, 40); t < seconds; t += uniform(20, 45)) {
    const std::string language = reloads % 2 == 0 ? "eng" : "swe";
    const bool odd = reloads % 3 == 2;
    ++reloads;
    s.actions.push_back({t, [language, odd](const std::string& d) {
                           WriteFile(d + "/zuva.conf", SettingsText(language, odd));
                           WriteFile(d + "/.ZUVA_Reload", "");
                         }});
  }
  if (seconds >= 20) {
    std::string garbage(300, '\0');
    for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
    const int back = serviceAt(half + 6);
    s.actions.push_back({half, [garbage](const std::string& d) {
                           WriteFile(d + "/ZUVA.tmp", garbage);
                         }});
    s.actions.push_back({half + 2, [back](const std::string& d) {
                           WriteFile(d + "/ZUVA.tmp", StatusText(back).substr(0, 9));
                         }});
    s.actions.push_back({half + 4, [](const std::string& d) { unlink((d + "/ZUVA.tmp").c_str()); }});
    s.actions.push_back({half + 6, [back](const std::string& d) {
                           WriteFile(d + "/ZUVA.tmp", StatusText(back));
                         }});
  }
  return s;
}

// ---------------------------------------------------------------------------

struct SoakOptions {
  int seconds = 300;
  uint64_t seed = 1;
  double everyMinutes = 5;
  double speed = 0;
  double faultScale = 1;
  std::string logFile;
  long heapSlackKb = 4;
  long blockSlack = 8;
  long cacheSlackKb = 1024;
  long rssSlackKb = 16384;
  int rounds = 1;
  int maxGapSeconds = 300;
  std::string srtPrefix;
  double ber = 0;
  bool steady = false;
};

// -1 to go on; otherwise the exit status, after help, version or a usage
// error has been printed.
int ParseArguments(int argc, char** argv, SoakOptions& o) {
  // The numeric options, each with the values it takes and where it goes;
  // its place in the table is its id.
  struct Numeric {
    const char* name;
    double low, high;
    void (*set)(SoakOptions&, double);
  };
  static const Numeric kNumbers[] = {
      {"seed", 0, 4e18, [](SoakOptions& s, double n) { s.seed = static_cast<uint64_t>(n); }},
      {"rounds", 1, 1000, [](SoakOptions& s, double n) { s.rounds = static_cast<int>(n); }},
      {"every", 0.1, 1e6, [](SoakOptions& s, double n) { s.everyMinutes = n; }},
      {"speed", 1, 10000, [](SoakOptions& s, double n) { s.speed = n; }},
      {"fault-scale", 0, 10, [](SoakOptions& s, double n) { s.faultScale = n; }},
      {"heap-slack", 0, 1e7,
       [](SoakOptions& s, double n) { s.heapSlackKb = static_cast<long>(n); }},
      {"block-slack", 0, 1e9,
       [](SoakOptions& s, double n) { s.blockSlack = static_cast<long>(n); }},
      {"cache-slack", 0, 1e7,
       [](SoakOptions& s, double n) { s.cacheSlackKb = static_cast<long>(n); }},
      {"rss-slack", 0, 1e7, [](SoakOptions& s, double n) { s.rssSlackKb = static_cast<long>(n); }},
      {"max-gap", 10, 1e6,
       [](SoakOptions& s, double n) { s.maxGapSeconds = static_cast<int>(n); }},
      {"ber", 0, 0.01, [](SoakOptions& s, double n) { s.ber = n; }}};
  enum { kSrt = 100, kLog, kSteady };
  const auto handle = [&o](int id, const char* value, std::string& error) {
    if (id == kSteady) {
      o.steady = true;
      return true;
    }
    if (id == kSrt || id == kLog) {
      (id == kSrt ? o.srtPrefix : o.logFile) = value;
      return true;
    }
    const Numeric& n = kNumbers[id];
    double number = 0;
    if (!cli::ToNumber(value, n.low, n.high, number)) {
      char text[120];
      snprintf(text, sizeof text, "--%s needs a number from %g to %g", n.name, n.low, n.high);
      error = text;
      return false;
    }
    n.set(o, number);
    return true;
  };
  cli::Program program{
      "zuva-soak",
      kUsage,
      {{"srt", 0, true, kSrt}, {"log", 0, true, kLog}, {"steady", 0, false, kSteady}},
      handle};
  for (const Numeric& n : kNumbers) {
    program.options.push_back({n.name, 0, true, static_cast<int>(&n - kNumbers)});
  }
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status >= 0) return status;
  if (operands.size() > 1) return cli::UsageError(program, "unexpected argument " + operands[1]);
  if (!operands.empty()) {
    double number = 0;
    if (!cli::ToNumber(operands[0].c_str(), 10, 48 * 3600, number)) {
      return cli::UsageError(program, "SECONDS must be from 10 to 172800");
    }
    o.seconds = static_cast<int>(number);
  }
  return -1;
}

bool WriteRecording(const std::string& path, int seconds) {
  const std::vector<uint8_t> bytes = tsgen::BuildDemoRecording(seconds);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

struct RunOutcome {
  replay::Result result;
  long flippedBits = 0;
  long injected[kFaultKinds] = {};
  long calls[kFaultKinds] = {};
  double realSeconds = 0;
};

// One replay of `recording` with the schedule and the fault injector; prints
// the figures every `everyMinutes` of replay time when `report` is set.
RunOutcome Play(const std::string& recording, int seconds, const SoakOptions& o, FILE* log,
                bool report, const std::string& srtFile) {
  const Schedule schedule = o.steady ? Schedule() : MakeSchedule(seconds, o.seed);
  FaultInjector* injector = nullptr;
  std::unique_ptr<FaultInjector> owned;
  replay::Options p;
  p.recording = recording;
  p.service = schedule.firstService;
  p.changes = schedule.changes;
  p.actions = schedule.actions;
  p.speed = o.speed;
  p.dvb = true;
  p.logOut = log;
  p.settings = {"Language swe"};
  p.srtFile = srtFile;
  p.wrapDevices = [&](SimDeviceIO* sim) -> DeviceIO* {
    owned = std::make_unique<FaultInjector>(sim, o.seed, o.faultScale, o.ber);
    injector = owned.get();
    return injector;
  };
  const auto started = std::chrono::steady_clock::now();
  auto elapsed = [started] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  if (report) {
    const double step = o.everyMinutes * 60;
    for (double t = step; t < seconds; t += step) {
      p.actions.push_back({t, [t, &injector, elapsed](const std::string&) {
                             const Figures f = Measure(injector ? injector->Inner() : nullptr);
                             printf("replay %s (real %.0f s): %s\n", HoursMinutes(t).c_str(), elapsed(),
                                    Describe(f).c_str());
                             fflush(stdout);
                           }});
    }
  }
  RunOutcome out;
  out.result = replay::Run(p);
  out.realSeconds = elapsed();
  if (injector != nullptr) {
    out.flippedBits = injector->FlippedBits();
    for (int k = 0; k < kFaultKinds; ++k) {
      out.injected[k] = injector->Injected(k);
      out.calls[k] = injector->Calls(k);
    }
  }
  return out;
}

// How the subtitles of a damaged replay compare with a clean replay of the
// same round. A clean subtitle counts as shown when the damaged replay showed
// something starting within a second of it, and as altered when that was not
// the same text.
struct Comparison {
  long clean = 0;
  long lost = 0;
  long altered = 0;
  long longestLostRun = 0;  // consecutive clean subtitles not shown
};

Comparison CompareWithClean(const std::vector<replay::SrtEntry>& clean,
                            const std::vector<replay::SrtEntry>& damaged) {
  constexpr int64_t kSlackMs = 1000;
  Comparison c;
  c.clean = static_cast<long>(clean.size());
  size_t from = 0;
  long run = 0;
  for (const replay::SrtEntry& e : clean) {
    while (from < damaged.size() && damaged[from].startMs < e.startMs - kSlackMs) ++from;
    bool shown = false, same = false;
    for (size_t k = from; k < damaged.size() && damaged[k].startMs <= e.startMs + kSlackMs; ++k) {
      shown = true;
      if (damaged[k].lines == e.lines) same = true;
    }
    if (!shown) {
      ++c.lost;
      c.longestLostRun = std::max(c.longestLostRun, ++run);
    } else {
      run = 0;
      if (!same) ++c.altered;
    }
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  SoakOptions o;
  const int status = ParseArguments(argc, argv, o);
  if (status >= 0) return status;

  // The outputs are checked before hours of work, not after.
  std::string outputError;
  if (!o.srtPrefix.empty() && !cli::CheckOutputFile(o.srtPrefix + "-1.srt", outputError)) {
    fprintf(stderr, "zuva-soak: cannot write %s\n", outputError.c_str());
    return 2;
  }
  FILE* copy = nullptr;
  if (!o.logFile.empty()) {
    copy = fopen(o.logFile.c_str(), "w");
    if (copy == nullptr) {
      fprintf(stderr, "zuva-soak: cannot write %s: %s\n", o.logFile.c_str(), strerror(errno));
      return 2;
    }
  }

  char dirTemplate[] = "/tmp/zuva-soak-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    perror("zuva-soak: mkdtemp");
    return 3;
  }
  const std::string dir = dirTemplate;
  const std::string warmUp = dir + "/warm-up.ts";
  const std::string recording = dir + "/soak.ts";
  // Whichever way the run ends, nothing of it stays in /tmp.
  struct RemoveOnExit {
    std::vector<std::string> files;
    std::string dir;
    ~RemoveOnExit() {
      for (const std::string& f : files) unlink(f.c_str());
      rmdir(dir.c_str());
    }
  } removeOnExit{{warmUp, recording}, dir};
  if (!WriteRecording(warmUp, kWarmUpSeconds) || !WriteRecording(recording, o.seconds)) {
    fprintf(stderr, "zuva-soak: cannot write the recordings in %s\n", dir.c_str());
    return 3;
  }
  LogCounter counter;
  counter.copy = copy;
  cookie_io_functions_t functions{};
  functions.write = LogCounter::Write;
  FILE* log = fopencookie(&counter, "w", functions);

  char clockText[48] = "virtual clock";
  if (o.speed > 0) snprintf(clockText, sizeof clockText, "speed %g", o.speed);
  printf("zuva-soak: %d s of replay, seed %llu, %s, fault scale %g, bit error rate %g\n",
         o.seconds, static_cast<unsigned long long>(o.seed), clockText, o.faultScale, o.ber);

  // The warm-up settles what is made once per process (the C++ streams,
  // the allocator's arenas, a sanitizer's helpers) before the baseline.
  RunOutcome warm = Play(warmUp, kWarmUpSeconds, o, log, false, "");
  fflush(log);
  if (warm.result.status != 0) {
    fprintf(stderr, "zuva-soak: warm-up replay failed: %s\n", warm.result.error.c_str());
    return 3;
  }
  warm.result = replay::Result();
  const Figures start = Measure(nullptr);
  printf("start (after a %d s warm-up in %.1f s): %s\n", kWarmUpSeconds, warm.realSeconds,
         Describe(start).c_str());
  fflush(stdout);

  // Each round plays the whole recording with other faults and another
  // schedule; the figures after each round show whether anything builds up.
  Figures end = start;
  int leakedHandles = 0, leakedMappings = 0;
  int64_t longestGapMs = 0;
  for (int round = 1; round <= o.rounds; ++round) {
    SoakOptions ro = o;
    ro.seed = o.seed + static_cast<uint64_t>(round - 1);
    std::vector<replay::SrtEntry> cleanSrt;
    if (o.ber > 0) {
      // The same round without bit errors, to count what they cost.
      SoakOptions clean = ro;
      clean.ber = 0;
      RunOutcome reference = Play(recording, o.seconds, clean, log, false, "");
      fflush(log);
      if (reference.result.status != 0) {
        fprintf(stderr, "zuva-soak: clean replay failed: %s\n", reference.result.error.c_str());
        return 3;
      }
      cleanSrt = std::move(reference.result.srt);
      printf("clean replay of round %d: %zu subtitles shown (%.1f s real)\n", round,
             cleanSrt.size(), reference.realSeconds);
    }
    PESFilter::ResetQueueHighWater();
    counter.Reset();
    RunOutcome run = Play(recording, o.seconds, ro, log, true,
                         o.srtPrefix.empty() ? "" : o.srtPrefix + "-" + std::to_string(round) + ".srt");
    fflush(log);
    if (run.result.status != 0) {
      fprintf(stderr, "zuva-soak: replay failed: %s\n", run.result.error.c_str());
      return 3;
    }
    // What the checks need from the result, then the result itself let go:
    // its frame and subtitle lists grow with the replay by design.
    const size_t shown = run.result.srt.size(), frames = run.result.frames.size();
    leakedHandles += run.result.leakedHandles;
    leakedMappings += run.result.leakedMappings;
    const int64_t endMs = run.result.endMs;
    // A daemon wedged by some fault shows nothing from then on. Faults,
    // service changes and the disable flag make gaps of their own (a screen
    // that could not be mapped stays dark until the next reload), but none
    // lasts minutes.
    int64_t gapMs = 0, shownUntil = 0;
    for (const replay::SrtEntry& e : run.result.srt) {
      gapMs = std::max(gapMs, e.startMs - shownUntil);
      shownUntil = std::max(shownUntil, e.endMs);
    }
    gapMs = std::max(gapMs, endMs - shownUntil);
    longestGapMs = std::max(longestGapMs, gapMs);
    Comparison versusClean;
    if (o.ber > 0) versusClean = CompareWithClean(cleanSrt, run.result.srt);
    std::vector<replay::SrtEntry>().swap(cleanSrt);
    run.result = replay::Result();
    end = Measure(nullptr);
    printf("end of round %d, seed %llu (replay %s in %.1f s real, %.0fx): %s\n", round,
           static_cast<unsigned long long>(ro.seed), HoursMinutes(endMs / 1000.0).c_str(),
           run.realSeconds, run.realSeconds > 0 ? endMs / 1000.0 / run.realSeconds : 0.0,
           Describe(end).c_str());
    printf("  faults injected:");
    for (int k = 0; k < kFaultKinds; ++k) {
      printf("%s %s %ld/%ld", k ? "," : "", kFaultNames[k], run.injected[k], run.calls[k]);
    }
    printf("\n  daemon log: %ld lines;", counter.lines);
    for (int k = 0; k < LogCounter::kKeys; ++k) {
      printf("%s \"%s\" %ld", k ? "," : "", counter.keys[k], counter.counts[k]);
    }
    printf("\n  subtitles shown: %zu, frames: %zu, longest time without a subtitle: %.1f s\n",
           shown, frames, gapMs / 1000.0);
    printf("  PES queue high-water mark: %zu packets, %zu bytes; filter start recoveries: %ld\n",
           PESFilter::QueueHighWaterPackets(), PESFilter::QueueHighWaterBytes(),
           counter.recoveries);
    if (o.ber > 0) {
      printf("  bit errors: %ld at %g; of %ld subtitles of the clean replay %ld lost (%.2f %%), "
             "%ld altered; longest run lost: %ld\n",
             run.flippedBits, o.ber, versusClean.clean, versusClean.lost,
             versusClean.clean > 0 ? 100.0 * versusClean.lost / versusClean.clean : 0.0,
             versusClean.altered, versusClean.longestLostRun);
    }
    fflush(stdout);
  }

  std::vector<std::string> failures;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) failures.push_back(what);
  };
  check(leakedHandles == 0, "simulated handles left open: " + std::to_string(leakedHandles));
  check(leakedMappings == 0, "screen mappings left: " + std::to_string(leakedMappings));
  check(end.packets == 0, "PES packets left: " + std::to_string(end.packets));
  check(end.fds <= start.fds, "descriptors grew from " + std::to_string(start.fds) + " to " +
                                  std::to_string(end.fds));
  check(end.threads <= start.threads, "threads grew from " + std::to_string(start.threads) +
                                          " to " + std::to_string(end.threads));
  if (!ZUVA_SOAK_SANITIZED) {
    // A sanitizer's allocator keeps freed memory in quarantine and does not
    // report through malloc's figures; its own leak check covers that build.
    // The allocator's figure moves with its per-thread caches and bins, so it
    // gets room. The count of what was allocated and not freed gets only a
    // little: the C library makes a few things once, on the first use of an
    // error path that the warm-up may not have taken. Something lost per
    // service change, reload or fault shows as hundreds of blocks.
    check(end.heapKb - start.heapKb <= o.cacheSlackKb,
          "malloc's in-use figure grew by " + std::to_string(end.heapKb - start.heapKb) + " KiB");
    check(end.rssKb - start.rssKb <= o.rssSlackKb,
          "resident size grew by " + std::to_string(end.rssKb - start.rssKb) + " KiB");
#if ZUVA_SOAK_COUNTS_ALLOCATIONS
    check(end.liveBytes - start.liveBytes <= o.heapSlackKb * 1024,
          "memory allocated and not freed grew by " +
              std::to_string(end.liveBytes - start.liveBytes) + " bytes");
    check(end.liveBlocks - start.liveBlocks <= o.blockSlack,
          "allocations alive grew from " + std::to_string(start.liveBlocks) + " to " +
              std::to_string(end.liveBlocks));
#endif
  }
  check(longestGapMs <= o.maxGapSeconds * 1000,
        "no subtitle for " + std::to_string(longestGapMs / 1000) + " s of replay");

  fclose(log);
  if (copy != nullptr) fclose(copy);

  for (const std::string& f : failures) printf("FAIL: %s\n", f.c_str());
  printf("%s\n", failures.empty() ? "zuva-soak: PASS" : "zuva-soak: FAIL");
  return failures.empty() ? 0 : 1;
}
