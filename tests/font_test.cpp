// Text drawing at the edges; how glyphs look is held by the render identity
// hashes.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "display/frame_buffer.h"
#include "support/sim_screen.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr int kSize = 28;

TEST(Font, TextNeverLeavesTheScreenOrTheBand) {
  struct Case {
    int x, y, width, size;
  };
  const std::vector<Case> cases = {
      {690, 100, 720, kSize}, {-15, 100, 720, kSize},             {100, 5, 720, kSize},
      {100, 590, 720, kSize}, {INT_MIN, INT_MAX, INT_MAX, kSize}, {-50, 300, INT_MAX, 100000},
      {10, 100, 700, -28},    {700, 100, INT_MAX, kSize},             {300, 100, 40, kSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << "," << c.width << "," << c.size);
    SimScreen s;
    ASSERT_EQ(0, s.Init());
    for (int align = 0; align < 3; ++align)
      s.fb->RenderText("Wide Text gjpqy ", c.x, c.y, c.width, align, c.size, kWhite);
    EXPECT_TRUE(s.PaddingUntouched());
  }
  // Inside a band only its rows receive pixels.
  SimScreen s;
  ASSERT_EQ(0, s.Init());
  ASSERT_TRUE(s.fb->AllocBackBuffer(10, 0));
  s.fb->UseBackBuffer(true);
  s.fb->RenderText("Tall glyphs {|}", 0, 20, 720, 0, kSize, kWhite);
  s.fb->CopyBackBuffer(100);
  const std::vector<int> rows = s.UsedRows();
  ASSERT_FALSE(rows.empty());
  EXPECT_TRUE(rows.front() >= 100 && rows.back() <= 109) << rows.front() << ".." << rows.back();
}

}  // namespace
