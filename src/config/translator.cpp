#include "config/translator.h"

#include "common/log.h"

Translator::Translator() : table{}, state(0) {}

Translator::~Translator() = default;

void Translator::LoadTranslation(const std::string& language, const std::string& path) {
  // Filled in with the display work; until then every byte stands for itself.
  (void)language;
  (void)path;
  for (auto& entry : table) entry = 0;
  state = 0;
}

uint32_t Translator::Translate(uint32_t code) const {
  if (code < 256 && table[code] != 0) return static_cast<uint32_t>(table[code]);
  return code;
}

void Translator::ParseLine(const std::string& line, const std::string& language) {
  (void)line;
  (void)language;
}
