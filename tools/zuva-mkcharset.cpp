// zuva-mkcharset: the code chart of one teletext national option, written as
// a recording, and two decodes of it compared code by code.
//
//   zuva-mkcharset OUT.ts LANGUAGE OPTION
//   zuva-mkcharset --compare ZUVA.srt OTHER.srt
//
// The recording has one service (PMT PID 0x100) with teletext on PID 0x200
// announcing a subtitle page 888 in LANGUAGE. The page carries OPTION in its
// header's national option bits and six boxed lines, one per column of the
// chart: codes 0x20..0x2F, 0x30..0x3F, ... 0x70..0x7E, each line between two
// zeros so that no decoder trims a space or a marker at its ends. It is shown
// from 1 s to 5 s; the recording lasts 7 s.
//
// --compare reads the first subtitle of two SubRip decodes of such a page and
// prints one line per code on which they differ: the code, then the code
// point of each decode, all in hexadecimal ("5d 110 d0").

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "tsgen/psi.h"
#include "tsgen/recording.h"
#include "tsgen/teletext_encoder.h"

namespace {

constexpr int64_t kTicksPerMs = 90;
constexpr int64_t kStart = 10 * 90000;
constexpr uint16_t kPcrPid = 0x1FF;
constexpr uint16_t kTeletextPid = 0x200;
constexpr int kPage = 0x888;
constexpr char kGuard = '0';
constexpr int kCompare = 1;

// The codes of each line of the chart, guards left out.
std::vector<std::vector<int>> Chart() {
  std::vector<std::vector<int>> lines;
  for (int column = 2; column <= 7; ++column) {
    lines.emplace_back();
    for (int code = column * 16; code < column * 16 + 16 && code < 0x7F; ++code) {
      lines.back().push_back(code);
    }
  }
  return lines;
}

void AddPage(tsgen::RecordingBuilder& b, const std::vector<std::string>& lines, int bits,
             int64_t ms) {
  tsgen::TeletextPage page = tsgen::SubtitlePage(kPage, lines);
  page.header.nationalOption = bits;
  std::vector<tsgen::TeletextUnit> units = tsgen::EncodePage(page);
  // The next header completes the page.
  tsgen::TeletextHeader next;
  next.page = 0x8FF;
  next.nationalOption = bits;
  units.push_back(tsgen::EncodeHeaderUnit(next));
  for (const auto& pes : tsgen::PackTeletextPES(units, kStart + ms * kTicksPerMs)) {
    b.AddPES(kTeletextPid, kStart + (ms - 200) * kTicksPerMs, pes);
  }
}

int Write(const std::string& file, const std::string& language, int option) {
  // The option is its place in the region's list, C12 the most significant
  // bit; the encoder takes C12 as bit 0.
  const int bits = (option >> 2 & 1) | (option & 2) | (option & 1) << 2;
  std::vector<std::string> lines;
  for (const std::vector<int>& codes : Chart()) {
    lines.emplace_back(1, kGuard);
    for (int code : codes) lines.back() += static_cast<char>(code);
    lines.back() += kGuard;
  }
  tsgen::RecordingBuilder b;
  b.EnablePCR(kPcrPid);
  b.SetStartTime(kStart);
  b.SetEndTime(kStart + 7 * 90000);
  b.AddTable(0x0000, tsgen::BuildPAT(1, {{100, 0x100}}));
  b.AddTable(0x0100, tsgen::BuildPMT(100, kPcrPid, {},
                                     {{0x06, kTeletextPid,
                                       tsgen::TeletextDescriptor({{language, 2, kPage}})}}));
  AddPage(b, lines, bits, 1000);
  AddPage(b, {}, bits, 5000);
  std::string error;
  if (!b.WriteFile(file, &error)) {
    std::fprintf(stderr, "zuva-mkcharset: cannot write %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  return 0;
}

// The lines of the first subtitle of a SubRip file as code points; empty
// when the file cannot be read or holds malformed UTF-8.
std::vector<std::vector<uint32_t>> FirstSubtitle(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::vector<uint32_t>> lines;
  std::string line;
  bool inText = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!inText) {
      inText = line.find("-->") != std::string::npos;
      continue;
    }
    if (line.empty()) break;
    std::vector<uint32_t> points;
    for (size_t i = 0; i < line.size();) {
      const auto b = static_cast<uint8_t>(line[i]);
      const size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
      if (n == 0 || i + n > line.size()) return {};
      uint32_t c = n == 1 ? b : b & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<uint8_t>(line[i + k]) & 0x3F);
      points.push_back(c);
      i += n;
    }
    lines.push_back(points);
  }
  return lines;
}

int Compare(const std::string& ours, const std::string& other) {
  const auto a = FirstSubtitle(ours);
  const auto b = FirstSubtitle(other);
  const auto chart = Chart();
  for (const auto* decode : {&a, &b}) {
    bool whole = decode->size() == chart.size();
    for (size_t n = 0; whole && n < chart.size(); ++n) {
      const std::vector<uint32_t>& line = (*decode)[n];
      whole = line.size() == chart[n].size() + 2 && line.front() == static_cast<uint32_t>(kGuard) &&
              line.back() == static_cast<uint32_t>(kGuard);
    }
    if (!whole) {
      std::fprintf(stderr, "zuva-mkcharset: %s does not hold the code chart\n",
                   (decode == &a ? ours : other).c_str());
      return 1;
    }
  }
  for (size_t n = 0; n < chart.size(); ++n) {
    for (size_t k = 0; k < chart[n].size(); ++k) {
      if (a[n][k + 1] != b[n][k + 1]) std::printf("%02x %x %x\n", chart[n][k], a[n][k + 1], b[n][k + 1]);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool compare = false;
  const cli::Program program{"zuva-mkcharset",
                             "Usage: zuva-mkcharset OUT.ts LANGUAGE OPTION\n"
                             "       zuva-mkcharset --compare ZUVA.srt OTHER.srt\n"
                             "Writes a 7-second recording whose teletext subtitle page 888,\n"
                             "announced in LANGUAGE (three letters), shows every character\n"
                             "code 0x20..0x7E under national option OPTION (0..7, its place\n"
                             "in the region's list): six lines, one per column of the code\n"
                             "chart, each between two zeros.\n"
                             "With --compare, prints the codes on which two SubRip decodes of\n"
                             "that page differ, one line each: code, code point in ZUVA.srt,\n"
                             "code point in OTHER.srt (hexadecimal). Status 1 when a file\n"
                             "does not hold the chart.\n"
                             "  --compare   compare two decodes\n"
                             "  -h, --help  show this text\n"
                             "  --version   show the version\n",
                             {{"compare", 0, false, kCompare}},
                             [&](int, const char*, std::string&) { return compare = true; }};
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status >= 0) return status;
  if (compare) {
    if (operands.size() != 2) return cli::UsageError(program, "--compare takes ZUVA.srt and OTHER.srt");
    return Compare(operands[0], operands[1]);
  }
  if (operands.size() != 3) return cli::UsageError(program, "takes OUT.ts, LANGUAGE and OPTION");
  if (operands[1].size() != 3) return cli::UsageError(program, "LANGUAGE must be three characters");
  long long option = 0;
  if (!cli::ToInt(operands[2].c_str(), 0, 7, option)) {
    return cli::UsageError(program, "OPTION must be 0 to 7");
  }
  return Write(operands[0], operands[1], static_cast<int>(option));
}
