#include "config/translator.h"

#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <map>
#include <string>
#include <vector>

#include "common/log.h"
#include "support/sim_screen.h"
#include "support/temp_dir.h"

namespace {

struct ParseCase {
  const char* name;
  std::string file;
  std::string language;
  std::map<uint32_t, uint32_t> expect;  // code -> Translate(code)
};

TEST(Translator, ParsesTablesLineByLine) {
  const std::vector<ParseCase> cases = {
      {"first matching table only",
       "BeginTable:ger\nA:1\nEndTable\nBeginTable:eng,enm\nA:2\nB:3\nEndTable\n"
       "BeginTable:eng\nA:4\nC:5\nEndTable\n",
       "eng",
       {{'A', 2}, {'B', 3}, {'C', 'C'}}},
      {"empty language takes the first table", "BeginTable:ger\nA:1\nEndTable\nBeginTable:eng\nA:2\n", "",
       {{'A', 1}}},
      {"substring of a marker code", "BeginTable:ger\nA:1\nEndTable\nBeginTable:eng\nA:2\n", "en",
       {{'A', 2}}},
      {"no table for the language", "BeginTable:ger\nA:1\nEndTable\n", "fre", {{'A', 'A'}}},
      {"comments and empty lines",
       "## a comment\n\nBeginTable:eng\n##A:9\n\nA:7\nEndTable\n", "eng", {{'A', 7}}},
      {"single # is an entry, ## a comment", "BeginTable:eng\n#:35000\n##:1\nEndTable\n", "eng",
       {{'#', 35000}}},
      {"carriage returns keep the table open",
       "BeginTable:eng\r\nA:65\r\nEndTable\r\nBeginTable:ger\r\nZ:90\r\n", "eng",
       // "EndTable\r" is an entry for E with 0; "BeginTable" lines become entries for B.
       {{'A', 65}, {'E', 'E'}, {'B', 'B'}, {'Z', 90}}},
      {"carriage-return marker still matches", "BeginTable:eng\r\nA:66\r\n", "eng", {{'A', 66}}},
      {"only the first byte of a key counts", "BeginTable:x\nae:97000\n", "x",
       {{'a', 97000}, {'e', 'e'}}},
      {"two colons give an empty key", "BeginTable:x\n::58000\n", "x", {{':', ':'}, {0, 0}}},
      {"a leading colon sets entry 0", "BeginTable:x\n:58000\n", "x", {{':', ':'}, {0, 58000}}},
      {"last entry wins", "BeginTable:x\nA:1\nA:2\n", "x", {{'A', 2}}},
      {"hexadecimal reads as 0 and removes the entry", "BeginTable:x\nA:1\nA:0x41\n", "x", {{'A', 'A'}}},
      {"negative value stored as is", "BeginTable:x\nA:-5\n", "x", {{'A', uint32_t(-5)}}},
      {"leading blanks and trailing text", "BeginTable:x\nA:  +42abc\nB:\t-7 9\n", "x",
       {{'A', 42}, {'B', uint32_t(-7)}}},
      {"byte 255", "BeginTable:x\n\xFF:8364\n", "x", {{255, 8364}, {256, 256}, {254, 254}}},
      {"last line without line feed", "BeginTable:x\nA:123", "x", {{'A', 123}}},
      {"line without colon is key and value", "BeginTable:x\nA\n", "x", {{'A', 'A'}}},
      {"huge number saturates", "BeginTable:x\nA:99999999999999999999\nB:-99999999999999999999\n", "x",
       {{'A', 2147483647u}, {'B', 0x80000000u}}},
      {"marker key must be exact", "BeginTablex:eng\nA:1\n BeginTable:eng\nA:2\n", "eng", {{'A', 'A'}}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write("t", c.file);
    Translator t;
    t.LoadTranslation(c.language, dir.File("t"));
    for (const auto& [code, want] : c.expect) EXPECT_EQ(want, t.Translate(code)) << "code " << code;
  }
}

const std::string kShippedFile = std::string(ZUVA_DATA_DIR) + "/zuva.translation";

TEST(ShippedTranslation, EveryLanguageCodeFindsItsSubset) {
  struct Case {
    const char* code;
    uint8_t byte;
    uint32_t want;
  };
  const std::vector<Case> cases = {
      {"fre", 0x23, 0xE9},  {"fra", 0x24, 0xEF},  {"fre", 0x40, 0xE0},  {"fre", 0x5F, '#'},
      {"fre", 0x7E, 0xE7},  {"eng", 0x23, 0xA3},  {"eng", 0x5F, '#'},   {"eng", 0x7E, 0xF7},
      {"ger", 0x40, 0xA7},  {"deu", 0x7E, 0xDF},  {"ger", 0x5B, 0xC4},  {"swe", 0x5D, 0xC5},
      {"fin", 0x40, 0xC9},  {"hun", 0x24, 0xA4},  {"ita", 0x7E, 0xEC},  {"ita", 0x5B, 0xB0},
      {"spa", 0x7C, 0xF1},  {"esl", 0x40, 0xA1},  {"esp", 0x60, 0xBF},  {"por", 0x23, 0xE7},
      {"cze", 0x24, 0x16F}, {"ces", 0x7E, 0x161}, {"slo", 0x5B, 0x165}, {"slk", 0x5F, 0x159},
      {"pol", 0x5B, 0x1B5}, {"pol", 0x5D, 0x141}, {"tur", 0x5F, 0x11E}, {"tur", 0x40, 0x130},
      {"scr", 0x5D, 0x110}, {"hrv", 0x7E, 0x161}, {"srp", 0x40, 0x10C}, {"scc", 0x24, 0xCB},
      {"slv", 0x5C, 0x17D}, {"rum", 0x5C, 0x15E}, {"ron", 0x5F, 0x131}, {"est", 0x24, 0xF5},
      {"est", 0x5F, 0xD5},  {"lav", 0x5F, 0x16B}, {"lit", 0x7E, 0x12F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Translator t;
    t.LoadTranslation(c.code, kShippedFile);
    EXPECT_EQ(c.want, t.Translate(c.byte)) << "byte " << int(c.byte);
    EXPECT_EQ(uint32_t('A'), t.Translate('A'));  // letters outside the 13 positions stay
  }
}

}  // namespace
