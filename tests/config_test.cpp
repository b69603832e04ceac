#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "support/temp_dir.h"

namespace {

// What a settings file line leaves behind for the string reader.
TEST(Config, LineSyntax) {
  struct Case {
    const char* file;
    const char* key;
    const char* want;  // nullptr: key absent
  };
  const Case cases[] = {
      {"Language ger\n", "Language", "ger"},
      {"Language  ger\n", "Language", " ger"},           // second blank belongs to the value
      {"Language ger\r\n", "Language", "ger\r"},          // carriage return kept
      {"Language ger\nLanguage fin\n", "Language", "fin"},  // last occurrence wins
      {"#Language ger\n", "Language", "swe"},
      {";Language ger\n", "Language", "swe"},
      {" #Language ger\n", "", "#Language ger"},  // a leading blank gives the empty key
      {"\n\nLanguage ita", "Language", "ita"},    // blank lines, no final newline
      {"language ger\n", "Language", "swe"},       // keys are case-sensitive
      {"language ger\n", "language", "ger"},
      {"Lonely\n", "Lonely", "Lonely"},  // no blank: the line is key and value
      {"Font /a b.ttf\n", "Font", "/a b.ttf"},
      {"Tab\tvalue\n", "Tab\tvalue", "Tab\tvalue"},  // tabs do not separate
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write("zuva.conf", c.file);
    LogCapture capture;
    Config config;
    EXPECT_TRUE(config.load(dir.File("zuva.conf")));
    std::string value = "unset";
    const int found = config.getValue(c.key, value);
    if (c.want == nullptr) {
      EXPECT_EQ(found, -1) << c.file;
    } else {
      EXPECT_EQ(found, 1) << c.file;
      EXPECT_EQ(value, c.want) << c.file;
    }
  }
}

TEST(Config, IntegerValues) {
  struct Case {
    const char* value;
    int want;
  };
  const Case cases[] = {
      {"30", 30},   {"30px", 30},  {" 30", 30},  {"-7", -7},   {"+9", 9},
      {"30\r", 30}, {"abc", 123},  {"", 123},    {"0x10", 0},  {"99999999999", 123},
  };
  for (const Case& c : cases) {
    Config config;
    config.set("FontSize", c.value);
    int out = 123;
    EXPECT_EQ(config.getValue("FontSize", out), 1) << c.value;
    EXPECT_EQ(out, c.want) << '"' << c.value << '"';
  }
  Config config;
  int out = 5;
  EXPECT_EQ(config.getValue("OSDMessages", out), -1);
  EXPECT_EQ(out, 5);
}

TEST(Config, HexValues) {
  struct Case {
    const char* value;
    uint32_t want;
  };
  const Case cases[] = {
      {"ffffffff", 0xFFFFFFFFu}, {"0xffffffff", 0xFFFFFFFFu}, {"FFFFFFFF", 0xFFFFFFFFu},
      {"0X000000FF", 0xFFu},     {"00000044", 0x44u},         {" 1a", 0x1Au},
      {"zz", 0xDEADu},           {"", 0xDEADu},
  };
  for (const Case& c : cases) {
    Config config;
    config.set("TextColor", c.value);
    uint32_t out = 0xDEAD;
    EXPECT_EQ(config.getValueHex("TextColor", out), 1) << c.value;
    EXPECT_EQ(out, c.want) << '"' << c.value << '"';
  }

  LogCapture capture;
  Config config;
  uint32_t out = 7;
  EXPECT_EQ(config.getValueHex("NoSuchColor", out), -1);
  EXPECT_EQ(out, 7u);
  EXPECT_EQ(capture.Text(), "ZUVA: CONFIG: Failed to getValueHex()\n");
}

}  // namespace
