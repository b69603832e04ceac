// Inputs the fuzz targets found to fault, replayed in the normal suite. Each
// case held the fault until its fix; under the sanitizers the arithmetic cases
// abort on the overflow itself, elsewhere they show as misplaced drawing.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "common/log.h"
#include "config/config.h"
#include "support/sim_screen.h"
#include "teletext/txt_subtitle.h"

namespace {

int CountPixels(const SimFramebuffer& device, uint32_t colour) {
  int n = 0;
  for (int y = 0; y < device.Height(); ++y) {
    for (int x = 0; x < device.Width(); ++x) n += device.PixelAt(x, y) == colour ? 1 : 0;
  }
  return n;
}

// Layout settings at the ends of the int range: every sum of them used to be
// worked out in int and overflowed.
TEST(FuzzRegression, TeletextLayoutSettingsAtTheEndsOfTheIntRange) {
  const std::string kMax = std::to_string(INT_MAX);
  const std::string kMin = std::to_string(INT_MIN);
  struct Case {
    std::vector<std::pair<std::string, std::string>> settings;
    int row;          // row index handed to drawRow (21 = teletext row 22, bottom slot)
    int result;       // drawRow's result
    bool textShown;   // text-coloured pixels on the screen afterwards
    int videoFormat = 4;
  } cases[] = {
      // The bottom slot does not depend on the row space at all.
      {{{"RowSpace", kMax}}, 21, 0, true},
      {{{"RowSpace", kMax}}, 19, 1, false},
      {{{"RowSpace", kMin}}, 0, 1, false},
      {{{"StartYPos", kMin}}, 21, 1, false},
      {{{"StartYPos", kMax}}, 21, 1, false},
      {{{"ExtraYSize", kMax}}, 21, 1, false},
      {{{"ExtraYSize", kMin}}, 21, 1, false},
      // Far off to either side: drawn, but nothing reaches the screen.
      {{{"StartXPos", kMax}, {"CenterText", "0"}}, 21, 0, false},
      {{{"StartXPos", kMin}, {"CenterText", "0"}}, 21, 0, false},
      // Outline copies far away; the text itself is where it belongs.
      {{{"OutlineSize", kMax}, {"UseBackground", "0"}}, 21, 0, true},
      {{{"OutlineSize", kMin}, {"UseBackground", "0"}}, 21, 0, true},
      {{{"OutlineSize", kMax}, {"UseBackground", "2"}, {"CenterText", "0"}}, 21, 0, true},
      // The 16:9 keys take the same road.
      {{{"WideRowSpace", kMax}}, 19, 1, false, 16},
      {{{"WideStartYPos", kMax}}, 21, 1, false, 16},
      {{{"WideExtraYSize", kMin}}, 21, 1, false, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings.front().first + " " + c.settings.front().second + " row " +
                 std::to_string(c.row));
    LogCapture capture;
    SimScreen screen;
    ASSERT_EQ(screen.Init(), 0);
    Config config;
    for (const auto& kv : c.settings) config.set(kv.first, kv.second);
    config.set("TextColor", "ffffffff");
    TXTSubtitle txt;
    txt.config = &config;
    txt.frameBuffer = screen.fb.get();
    txt.videoFormat = c.videoFormat;
    txt.configure(0x888);

    EXPECT_EQ(txt.drawRow("Hello", c.row), c.result);
    EXPECT_EQ(CountPixels(screen.device, 0xFFFFFFFF) > 0, c.textShown);
    EXPECT_TRUE(screen.PaddingUntouched());
    // A refused line leaves the used area as it was (empty).
    EXPECT_TRUE(c.result == 0 || txt.HighestRow() > txt.LowestRow());
  }
}

}  // namespace
