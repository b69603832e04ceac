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

}  // namespace
