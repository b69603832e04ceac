#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "common/log.h"
#include "config/channels.h"
#include "config/config.h"
#include "config/translator.h"
#include "support/temp_dir.h"

namespace {

// What a settings file line leaves behind for the string reader.
TEST(Config, LineSyntax) {
  const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
      {"Language  ger\n", "Language", " ger"},              // second blank belongs to the value
      {"Language ger\r\n", "Language", "ger\r"},            // carriage return kept
      {"Language ger\nLanguage fin\n", "Language", "fin"},  // last occurrence wins
      {"#Language ger\n", "Language", "swe"},
      {";Language ger\n", "Language", "swe"},
      {" #Language ger\n", "", "#Language ger"},  // a leading blank gives the empty key
      {"\n\nLanguage ita", "Language", "ita"},    // blank lines, no final newline
      {"language ger\n", "Language", "swe"},      // keys are case-sensitive
      {"Lonely\n", "Lonely", "Lonely"},  // no blank: the line is key and value
      {"Tab\tvalue\n", "Tab\tvalue", "Tab\tvalue"},  // tabs do not separate
  };
  for (const auto& [file, key, want] : cases) {
    TempDir dir;
    dir.Write("zuva.conf", file);
    LogCapture capture;
    Config config;
    EXPECT_TRUE(config.load(dir.File("zuva.conf")));
    std::string value = "unset";
    EXPECT_EQ(config.getValue(key, value), 1) << file;
    EXPECT_EQ(value, want) << file;
  }
}

// Numbers as the stream extraction and "%x" read them; a missing key (null
// here) or text without a number leaves the value as it was.
TEST(Config, IntegerAndHexValues) {
  const std::vector<std::tuple<bool, const char*, uint32_t>> cases = {
      {false, "30px", 30}, {false, " -7", uint32_t(-7)}, {false, "abc", 123}, {false, "", 123},
      {false, "0x10", 0}, {false, "99999999999", 123}, {false, nullptr, 123},
      {true, "ffffffff", 0xFFFFFFFFu}, {true, "0X000000FF", 0xFFu}, {true, " 1a", 0x1Au},
      {true, "zz", 123}, {true, "", 123}, {true, nullptr, 123}};
  for (const auto& [hex, text, want] : cases) {
    LogCapture capture;
    Config config;  // keys without a default
    if (text != nullptr) config.set(hex ? "NoSuchColor" : "OSDMessages", text);
    int number = 123;
    uint32_t value = 123;
    EXPECT_EQ(hex ? config.getValueHex("NoSuchColor", value) : config.getValue("OSDMessages", number),
              text ? 1 : -1) << text;
    EXPECT_EQ(hex ? value : uint32_t(number), want) << '"' << text << '"';
  }
}

TEST(ExternalChannels, Lookups) {
  struct Case { const char* file; int sid; const char* language; int found, pid, page; };
  const Case cases[] = {
      {"12c 22b 888 swe\n", 300, "swe", 1, 0x22b, 0x888},
      {"12C 0x22B 888 swe\n", 300, "swe", 1, 0x22b, 0x888},
      {"12c 22b  888 swe\n", 300, "swe", 0, -1, -1},  // empty third field shifts the rest
      {"12c 22b 888 swe\n12c 333 777 swe\n", 300, "swe", 1, 0x22b, 0x888},  // first wins
      {"12c 22b 888 swe\r\n", 300, "swe", 0, -1, -1},  // carriage return stays in the code
      {"12c 22b 888 swe x\r\n", 300, "swe", 1, 0x22b, 0x888},
      {"12c 22b 888 SWE\n", 300, "swe", 1, 0x22b, 0x888},  // codes as people write them
      {"12c 22b 888 fra\n", 300, "fre", 1, 0x22b, 0x888},
      {"# 12c 22b 888 swe\n;12c 22b 888 swe\n\n", 300, "swe", 0, -1, -1},
      {" 1 2 swe", 0, "swe", 1, 1, 2},  // a leading blank is an empty service id: 0; no newline
      {"12c 22b 888\n12c\n\n12c 22b\n", 300, "", 0, -1, -1},  // short lines are skipped
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write("zuva.channels", c.file);
    LogCapture capture;
    int pid = -1, page = -1;
    EXPECT_EQ(FindExternalTXT(dir.File("zuva.channels"), c.sid, c.language, pid, page), c.found)
        << c.file;
    EXPECT_EQ(std::make_pair(pid, page), std::make_pair(c.pid, c.page)) << c.file;
    EXPECT_EQ(capture.Text(), "ZUVA: EXT::Checking for TXT Subtitles in external file...\n");
  }
}

TEST(Translator, ParsesTablesLineByLine) {
  // expect: code -> Translate(code)
  struct Case { const char* name; std::string file, language; std::map<uint32_t, uint32_t> expect; };
  const std::vector<Case> cases = {
      {"first matching table only",
       "BeginTable:ger\nA:1\nEndTable\nBeginTable:eng,enm\nA:2\nB:3\nEndTable\n"
       "BeginTable:eng\nA:4\nC:5\nEndTable\n",
       "eng", {{'A', 2}, {'B', 3}, {'C', 'C'}}},
      {"substring of a marker code", "BeginTable:ger\nA:1\nEndTable\nBeginTable:eng\nA:2\n", "en",
       {{'A', 2}}},
      {"comments and empty lines", "## a comment\n\nBeginTable:eng\n##A:9\n\nA:7\nEndTable\n",
       "eng", {{'A', 7}}},
      {"single # is an entry", "BeginTable:eng\n#:35000\n##:1\nEndTable\n", "eng",
       {{'#', 35000}}},
      // "EndTable\r" is an entry for E with 0; "BeginTable" lines become entries for B.
      {"carriage returns keep the table open",
       "BeginTable:eng\r\nA:65\r\nEndTable\r\nBeginTable:ger\r\nZ:90\r\n", "eng",
       {{'A', 65}, {'E', 'E'}, {'B', 'B'}, {'Z', 90}}},
      {"only the first byte of a key counts", "BeginTable:x\nae:97000\n", "x",
       {{'a', 97000}, {'e', 'e'}}},
      {"a leading colon sets entry 0", "BeginTable:x\n:58000\n", "x", {{':', ':'}, {0, 58000}}},
      {"hexadecimal reads as 0: no entry", "BeginTable:x\nA:1\nA:0x41\n", "x", {{'A', 'A'}}},
      {"leading blanks and trailing text", "BeginTable:x\nA:  +42abc\nB:\t-7 9\n", "x",
       {{'A', 42}, {'B', uint32_t(-7)}}},
      {"byte 255", "BeginTable:x\n\xFF:8364\n", "x", {{255, 8364}, {256, 256}, {254, 254}}},
      {"huge number saturates", "BeginTable:x\nA:99999999999999999999\nB:-99999999999999999999\n",
       "x", {{'A', 2147483647u}, {'B', 0x80000000u}}},
      {"marker key must be exact", "BeginTablex:eng\nA:1\n BeginTable:eng\nA:2\n", "eng",
       {{'A', 'A'}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write("t", c.file);
    Translator t;
    t.LoadTranslation(c.language, dir.File("t"));
    for (const auto& [code, want] : c.expect) EXPECT_EQ(want, t.Translate(code)) << "code " << code;
  }
}

}  // namespace
