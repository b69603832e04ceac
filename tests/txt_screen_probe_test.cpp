// The teletext decoder looks at the screen from the reader thread before it
// draws or clears, while the main thread may be drawing the message line. The
// look must wait for a drawing sequence in progress, or it reads pixels being
// written.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/sim_screen.h"
#include "teletext/txt_subtitle.h"

namespace {

TEST(TXTScreenProbe, WaitsForTheDrawingLock) {
  for (int bpp : {32, 8}) {
    SCOPED_TRACE(bpp);
    SimScreen screen(bpp == 8 ? Geometry8() : SimFramebuffer::Geometry());
    ASSERT_EQ(screen.Init(), 0);
    TXTSubtitle txt;
    txt.frameBuffer = screen.fb.get();

    screen.fb->Lock();
    std::atomic<bool> done{false};
    std::thread probe([&] {
      txt.isAreaFree();
      done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load()) << "the screen was read while another thread was drawing";
    screen.fb->Unlock();
    probe.join();
    EXPECT_TRUE(done.load());
    // And the lock is free again afterwards.
    EXPECT_EQ(screen.fb->Lock(), 0);
    screen.fb->Unlock();
  }
}

// The main thread keeps drawing messages while another thread keeps looking;
// under the thread sanitizer any unguarded read of the screen shows up here.
TEST(TXTScreenProbe, LooksWhileMessagesAreDrawn) {
  SimScreen screen;
  ASSERT_EQ(screen.Init(), 0);
  TXTSubtitle txt;
  txt.frameBuffer = screen.fb.get();
  std::atomic<bool> stop{false};
  std::thread probe([&] {
    while (!stop.load()) txt.isAreaFree();
  });
  for (int i = 0; i < 50; ++i) {
    screen.fb->Lock();
    screen.fb->FillRect(0, 0, 720, 40, 0x000000C0u);
    screen.fb->RenderText("Message " + std::to_string(i), 10, 30, 700, 0, 24, 0xFFFFFFFFu);
    screen.fb->FillRect(0, 0, 720, 40, 0);
    screen.fb->Unlock();
  }
  stop.store(true);
  probe.join();
}

}  // namespace
