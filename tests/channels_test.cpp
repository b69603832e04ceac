#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "config/channels.h"
#include "support/temp_dir.h"

namespace {

TEST(ExternalChannels, Lookups) {
  struct Case {
    const char* file;
    int sid;
    const char* language;
    int found;
    int pid;
    int page;
  };
  const Case cases[] = {
      {"12c 22b 888 swe\n", 300, "swe", 1, 0x22b, 0x888},
      {"12C 0x22B 888 swe\n", 300, "swe", 1, 0x22b, 0x888},
      {"12c 22b  888 swe\n", 300, "swe", 0, -1, -1},  // empty third field shifts the rest
      {"12c 22b 888 swe SVT1 HD\n", 300, "swe", 1, 0x22b, 0x888},
      {"12c 22b 888 swe\n12c 333 777 swe\n", 300, "swe", 1, 0x22b, 0x888},  // first wins
      {"12c 22b 888 swe\r\n", 300, "swe", 0, -1, -1},  // carriage return stays in the code
      {"12c 22b 888 swe x\r\n", 300, "swe", 1, 0x22b, 0x888},
      {"12c 22b 888 SWE\n", 300, "swe", 0, -1, -1},
      {"# 12c 22b 888 swe\n;12c 22b 888 swe\n\n", 300, "swe", 0, -1, -1},
      {" 22b 888 swe\n", 0, "888", 0, -1, -1},
      {" 22b 888 swe x\n", 0, "swe", 1, 0x22b, 0x888},
      {" 1 2 swe\n", 0, "swe", 1, 1, 2},  // a leading blank is an empty service id: 0
      {"12c 22b 888\n12c\n\n12c 22b\n", 300, "", 0, -1, -1},  // short lines are skipped
      {"zz 22b 888 swe\n", 0, "swe", 1, 0x22b, 0x888},        // no digits read as 0
      {"12c 22b 888 swe", 300, "swe", 1, 0x22b, 0x888},        // no final newline
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write("zuva.channels", c.file);
    LogCapture capture;
    int pid = -1, page = -1;
    EXPECT_EQ(FindExternalTXT(dir.File("zuva.channels"), c.sid, c.language, pid, page), c.found)
        << c.file;
    EXPECT_EQ(pid, c.pid) << c.file;
    EXPECT_EQ(page, c.page) << c.file;
    EXPECT_EQ(capture.Text(), "ZUVA: EXT::Checking for TXT Subtitles in external file...\n");
  }
}

TEST(SplitString, Table) {
  struct Case {
    const char* text;
    const char* delimiter;
    bool keepEmpty;
    int result;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"a b", " ", true, 1, {"a", "b"}},
      {"a ", " ", true, 1, {"a", ""}},
      {"a ", " ", false, 1, {"a"}},
      {"ab", " ", true, 0, {}},
      {"", " ", true, 0, {}},
      {"a b", "", true, 0, {}},
      {"a  b", " ", true, 2, {"a", "", "b"}},
      {"a  b", " ", false, 2, {"a", "b"}},
      {" a", " ", true, 1, {"", "a"}},
      {"a::b::", "::", true, 2, {"a", "b", ""}},
      {"aaa", "aa", true, 1, {"", "a"}},  // occurrences do not overlap
  };
  for (const Case& c : cases) {
    std::vector<std::string> fields = {"kept"};
    EXPECT_EQ(SplitString(c.text, c.delimiter, fields, c.keepEmpty), c.result) << c.text;
    std::vector<std::string> expected = {"kept"};
    expected.insert(expected.end(), c.fields.begin(), c.fields.end());
    EXPECT_EQ(fields, expected) << '"' << c.text << '"';
  }
}

}  // namespace
