// The translation file: Translator::LoadTranslation for a language, then
// Translate over every code.
//
// Input: byte 0 = length n (0..7) of the language code, then n bytes of it,
// then the file.

#include <string>

#include "config/translator.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog();
  if (size < 1) return 0;
  size_t n = data[0] % 8;
  if (n > size - 1) n = size - 1;
  const std::string language(reinterpret_cast<const char*>(data + 1), n);
  const std::string path = fuzz::Scratch().File("zuva.translation");
  fuzz::WriteFile(path, data + 1 + n, size - 1 - n);

  Translator translator;
  translator.LoadTranslation(language, path);
  for (uint32_t code = 0; code < 256; ++code) translator.Translate(code);
  // Codes outside the table pass unchanged.
  const uint32_t outside[] = {256, 0x20AC, 0x7FFFFFFF, 0xFFFFFFFF};
  for (uint32_t code : outside) FUZZ_CHECK(translator.Translate(code) == code);

  // A load starts from an empty table: loading a language no marker can name
  // leaves every code as itself.
  translator.LoadTranslation(std::string("\n\n", 2), path);
  for (uint32_t code = 0; code < 256; ++code) FUZZ_CHECK(translator.Translate(code) == code);
  return 0;
}
