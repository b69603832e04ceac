// zuva-mkcharset: writes a recording whose teletext subtitle shows every
// character code of one national option, for checking a translation table
// against another decoder.
//
//   zuva-mkcharset OUT.ts LANGUAGE OPTION
//
// One service (PMT PID 0x100) with teletext on PID 0x200 announcing a
// subtitle page 888 in LANGUAGE. The page carries OPTION (0..7) in its
// header's national option bits and six boxed lines, one per column of the
// code chart: codes 0x20..0x2F, 0x30..0x3F, ... 0x70..0x7E, each line between
// two zeros so that neither decoder trims a space or a marker at its ends.
// It is shown from 1 s to 5 s; the recording lasts 7 s.

#include <cstdio>
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

std::vector<std::string> ChartLines() {
  std::vector<std::string> lines;
  for (int column = 2; column <= 7; ++column) {
    std::string line = "0";
    for (int row = 0; row < 16; ++row) {
      const int code = column * 16 + row;
      if (code < 0x7F) line += static_cast<char>(code);
    }
    line += '0';
    lines.push_back(line);
  }
  return lines;
}

void AddPage(tsgen::RecordingBuilder& b, const std::vector<std::string>& lines, int option,
             int64_t ms) {
  tsgen::TeletextPage page = tsgen::SubtitlePage(kPage, lines);
  page.header.nationalOption = option;
  std::vector<tsgen::TeletextUnit> units = tsgen::EncodePage(page);
  // The next header completes the page.
  tsgen::TeletextHeader next;
  next.page = 0x8FF;
  next.nationalOption = option;
  units.push_back(tsgen::EncodeHeaderUnit(next));
  for (const auto& pes : tsgen::PackTeletextPES(units, kStart + ms * kTicksPerMs)) {
    b.AddPES(kTeletextPid, kStart + (ms - 200) * kTicksPerMs, pes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const cli::Program program{"zuva-mkcharset",
                             "Usage: zuva-mkcharset OUT.ts LANGUAGE OPTION\n"
                             "Writes a 7-second recording whose teletext subtitle page 888,\n"
                             "announced in LANGUAGE (three letters), shows every character\n"
                             "code 0x20..0x7E with national option OPTION (0..7) in its\n"
                             "header: six lines, one per column of the code chart, each\n"
                             "between two zeros.\n"
                             "  -h, --help  show this text\n"
                             "  --version   show the version\n",
                             {},
                             nullptr};
  std::vector<std::string> operands;
  const int status = cli::Parse(program, argc, argv, operands);
  if (status >= 0) return status;
  if (operands.size() != 3) return cli::UsageError(program, "takes OUT.ts, LANGUAGE and OPTION");
  const std::string& language = operands[1];
  if (language.size() != 3) return cli::UsageError(program, "LANGUAGE must be three characters");
  long long option = 0;
  if (!cli::ToInt(operands[2].c_str(), 0, 7, option)) {
    return cli::UsageError(program, "OPTION must be 0 to 7");
  }

  tsgen::RecordingBuilder b;
  b.EnablePCR(kPcrPid);
  b.SetStartTime(kStart);
  b.SetEndTime(kStart + 7 * 90000);
  b.AddTable(0x0000, tsgen::BuildPAT(1, {{100, 0x100}}));
  b.AddTable(0x0100, tsgen::BuildPMT(100, kPcrPid, {},
                                     {{0x06, kTeletextPid,
                                       tsgen::TeletextDescriptor({{language, 2, kPage}})}}));
  AddPage(b, ChartLines(), static_cast<int>(option), 1000);
  AddPage(b, {}, static_cast<int>(option), 5000);

  std::string error;
  if (!b.WriteFile(operands[0], &error)) {
    std::fprintf(stderr, "zuva-mkcharset: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
