#include "config/translator.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "common/log.h"

namespace {
// The value of an entry as "%d" would read it: leading white space, an
// optional sign, digits up to the first non-digit; 0 when there is no number.
// Out-of-range numbers saturate instead of overflowing.
int32_t ReadDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}
}  // namespace

Translator::Translator() : table{}, state(0) {}

Translator::~Translator() = default;

void Translator::LoadTranslation(const std::string& language, const std::string& path) {
  log("Translator: CC=%s\n", language.c_str());
  for (auto& entry : table) entry = 0;
  log("Load Translation from: %s\n", path.c_str());
  state = 0;

  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return;
  std::string line;
  int ch;
  bool pending = false;  // a last line without a line feed still counts
  while ((ch = fgetc(file)) != EOF) {
    if (ch == '\n') {
      ParseLine(line, language);
      line.clear();
      pending = false;
    } else {
      line.push_back(static_cast<char>(ch));
      pending = true;
    }
  }
  if (pending) ParseLine(line, language);
  fclose(file);
}

uint32_t Translator::Translate(uint32_t code) const {
  if (code < 256 && table[code] != 0) return static_cast<uint32_t>(table[code]);
  return code;
}

void Translator::ParseLine(const std::string& line, const std::string& language) {
  if (line.empty()) return;
  if (line.size() >= 2 && line[0] == '#' && line[1] == '#') return;

  std::string key = line;
  std::string value = line;
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    key = line.substr(0, colon);
    value = line.substr(colon + 1);
  }

  switch (state) {
    case 0:
      if (key == "BeginTable" && value.find(language) != std::string::npos) state = 1;
      break;
    case 1:
      if (key == "EndTable") {
        state = 2;
      } else {
        const auto index = key.empty() ? 0u : static_cast<unsigned char>(key[0]);
        table[index] = ReadDecimal(value);
      }
      break;
    case 2:
      break;
    default:
      log("Translator statemachine error...\n");
      break;
  }
}
