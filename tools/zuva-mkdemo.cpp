// zuva-mkdemo: writes the demonstration recording.
//
//   zuva-mkdemo OUT.ts [SECONDS]
//
// Two services in one transport stream: service 100 with teletext subtitles
// in Swedish (page 888) and English (page 889), service 200 with English DVB
// subtitles. See src/tsgen/demo.h.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include "common/command_line.h"
#include "tsgen/demo.h"

int main(int argc, char** argv) {
  const cli::Program program{"zuva-mkdemo",
                             "Usage: zuva-mkdemo OUT.ts [SECONDS]\n"
                             "Writes the demonstration recording, SECONDS long (5 to 3600,\n"
                             "default 30).\n"
                             "  -h, --help  show this text\n"
                             "  --version   show the version\n",
                             {},
                             nullptr};
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status >= 0) return status;
  if (operands.empty() || operands.size() > 2) {
    return cli::UsageError(program, "takes OUT.ts and optionally SECONDS");
  }
  const std::string& file = operands[0];
  long long seconds = 30;
  if (operands.size() == 2 && !cli::ToInt(operands[1].c_str(), 5, 3600, seconds)) {
    return cli::UsageError(program, "SECONDS must be 5 to 3600");
  }
  // Opened before the recording is built, so a bad name costs no waiting.
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "zuva-mkdemo: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  const auto bytes = tsgen::BuildDemoRecording(static_cast<int>(seconds));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "zuva-mkdemo: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s: %lld seconds, %zu bytes\n", file.c_str(), seconds, bytes.size());
  return 0;
}
