#include "stream/language_code.h"

namespace {
// Left: the code a broadcaster or a tool may write; right: the one the daemon
// keeps. The first ten rows are what the box has always stored, and stored
// translation tables key on their right-hand codes, so those must not change.
const char* const kFolded[][2] = {
    {"esl", "spa"}, {"esp", "spa"}, {"deu", "ger"}, {"fra", "fre"}, {"ces", "cze"},
    {"ell", "gre"}, {"hrv", "scr"}, {"ron", "rum"}, {"slk", "slo"}, {"srp", "scc"},
    {"nld", "dut"}, {"sqi", "alb"}, {"hye", "arm"}, {"eus", "baq"}, {"mya", "bur"},
    {"zho", "chi"}, {"kat", "geo"}, {"isl", "ice"}, {"mkd", "mac"}, {"mri", "mao"},
    {"msa", "may"}, {"fas", "per"}, {"bod", "tib"}, {"cym", "wel"},
};
}  // namespace

std::string NormalizeLanguageCode(const std::string& code) {
  std::string lower = code;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const auto& row : kFolded) {
    if (lower == row[0]) return row[1];
  }
  return lower;
}
