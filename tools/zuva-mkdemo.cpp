// zuva-mkdemo: writes the demonstration recording.
//
//   zuva-mkdemo OUT.ts [SECONDS]
//
// Two services in one transport stream: service 100 with teletext subtitles
// in Swedish (page 888) and English (page 889), service 200 with English DVB
// subtitles. See src/tsgen/demo.h.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tsgen/demo.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
    std::fprintf(stderr, "Usage: zuva-mkdemo OUT.ts [SECONDS]\n");
    return argc < 2 ? 2 : 0;
  }
  const int seconds = argc == 3 ? std::atoi(argv[2]) : 30;
  if (seconds < 5 || seconds > 3600) {
    std::fprintf(stderr, "zuva-mkdemo: SECONDS must be 5 to 3600\n");
    return 2;
  }
  const auto bytes = tsgen::BuildDemoRecording(seconds);
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "zuva-mkdemo: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %d seconds, %zu bytes\n", argv[1], seconds, bytes.size());
  return 0;
}
