#pragma once

#include <cstdint>
#include <string>

// Maps the 8-bit codes of broadcast text to the character codes handed to the
// font, one table per language, loaded from the translation file.
class Translator {
 public:
  Translator();
  virtual ~Translator();

  // Replaces the whole table with the first table of the file whose
  // "BeginTable" marker names `language`; all zero when there is none.
  void LoadTranslation(const std::string& language, const std::string& path);
  // The table entry for `code` when it is in 0..255 and non-zero, else `code`.
  uint32_t Translate(uint32_t code) const;

 private:
  void ParseLine(const std::string& line, const std::string& language);

  int32_t table[256];
  int32_t state;
};
