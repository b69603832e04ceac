// timing_cases DIR: writes the recordings whose subtitles come at awkward
// moments (tests/support/timing_cases.h) into DIR as NAME.ts, for
// bench/replay_determinism.sh.
#include <cstdio>
#include <string>

#include "support/timing_cases.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: timing_cases DIR\n");
    return 2;
  }
  for (const TimingCase& c : TimingCases()) {
    const std::vector<uint8_t> bytes = TimingRecording(c);
    const std::string path = std::string(argv[1]) + "/" + c.name + ".ts";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
      std::fprintf(stderr, "timing_cases: cannot write %s\n", path.c_str());
      return 1;
    }
    std::printf("%s\n", path.c_str());
  }
  return 0;
}
