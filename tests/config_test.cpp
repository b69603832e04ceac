#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "support/temp_dir.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

TEST(Config, WithoutFileDumpsTheDefaultsInKeyOrder) {
  LogCapture capture;
  Config config;
  EXPECT_FALSE(config.load("/nonexistent/zuva.conf"));
  const std::vector<std::string> expected = {
      "ZUVA: Load settings from: /nonexistent/zuva.conf\n",
      "ZUVA: CONFIG: BackgroundColor = 00000044\n",
      "ZUVA: CONFIG: CenterText = 1\n",
      "ZUVA: CONFIG: ExtraYSize = 0\n",
      "ZUVA: CONFIG: Font = /usr/share/fonts/md_khmurabi_10.ttf\n",
      "ZUVA: CONFIG: FontSize = 28\n",
      "ZUVA: CONFIG: Language = swe\n",
      "ZUVA: CONFIG: OutlineColor = 000000ff\n",
      "ZUVA: CONFIG: RecDelay = 4\n",
      "ZUVA: CONFIG: RowSpace = 5\n",
      "ZUVA: CONFIG: SecondaryLanguage = eng\n",
      "ZUVA: CONFIG: StartXPos = 60\n",
      "ZUVA: CONFIG: StartYPos = 0\n",
      "ZUVA: CONFIG: SubtileType = 2\n",
      "ZUVA: CONFIG: TextColor = ffffffff\n",
      "ZUVA: CONFIG: UseBackground = 2\n",
      "ZUVA: CONFIG: UseDVBFirst = 1\n",
      "ZUVA: CONFIG: UseExternalChannels = 2\n",
      "ZUVA: CONFIG: WideExtraYSize = 0\n",
      "ZUVA: CONFIG: WideFontSize = 28\n",
      "ZUVA: CONFIG: WideRowSpace = 0\n",
      "ZUVA: CONFIG: WideStartYPos = 0\n",
  };
  EXPECT_EQ(Lines(capture.Text()), expected);
}

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

TEST(Config, ReloadKeepsValuesTheFileNoLongerMentions) {
  TempDir dir;
  LogCapture capture;
  Config config;
  dir.Write("zuva.conf", "Language ger\nOSDMessages 1\n");
  config.load(dir.File("zuva.conf"));
  dir.Write("zuva.conf", "OSDMessages 0\n");
  config.load(dir.File("zuva.conf"));
  std::string language;
  int osd = -1;
  config.getValue("Language", language);
  config.getValue("OSDMessages", osd);
  EXPECT_EQ(language, "ger");
  EXPECT_EQ(osd, 0);
  dir.Remove("zuva.conf");
  EXPECT_FALSE(config.load(dir.File("zuva.conf")));
  config.getValue("Language", language);
  EXPECT_EQ(language, "ger");
}

}  // namespace
