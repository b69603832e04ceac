#include <gtest/gtest.h>

#include "support/sim_screen.h"

// AnyPixelSet reads the column straight from the screen; it must answer as
// ReadPixel would, pixel by pixel, at both depths and on a short screen.
TEST(PixelProbe, AnswersAsReadPixelWould) {
  for (const auto& [bits, rows] : {std::pair{32, 576}, {8, 576}, {32, 100}}) {
    SimFramebuffer::Geometry g;
    g.bitsPerPixel = bits;
    g.yres = rows;
    SimScreen s(g);
    ASSERT_EQ(0, s.Init());
    s.fb->ClearScreen();
    s.fb->FillRect(360, 41, 1, 1, 0x000001FF);  // row 41; its first byte is 1 at 32 bpp
    for (const auto& [first, end, step] : {std::tuple{0, 576, 2}, {1, 576, 2}, {41, 42, 1},
                                            {42, 576, 1}, {0, 41, 1}, {300, 600, 1}}) {
      bool expect = false;
      for (int y = first; y < end; y += step) {
        uint8_t pixel[4] = {};
        s.fb->ReadPixel(360, y, pixel);
        expect = expect || pixel[0] != 0;
      }
      EXPECT_EQ(expect, s.fb->AnyPixelSet(360, first, end, step))
          << bits << " bpp, " << rows << " rows, from " << first;
    }
  }
}
