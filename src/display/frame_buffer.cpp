#include "display/frame_buffer.h"

#include <fcntl.h>

#include "common/log.h"
#include "config/translator.h"

FrameBuffer::FrameBuffer(const Platform& platform) : platform_(platform) {
  pthread_mutex_init(&lock, nullptr);
}

FrameBuffer::~FrameBuffer() { pthread_mutex_destroy(&lock); }

int FrameBuffer::Init(const std::string& fontFile_) {
  fd = platform_.io->Open(platform_.paths.framebuffer.c_str(), O_RDWR);
  if (fd < 0) {
    log("Could not open frame buffer\n");
    return -1;
  }
  // The device and font parts arrive with the display work.
  (void)fontFile_;
  platform_.io->Close(fd);
  fd = -1;
  return -1;
}

void FrameBuffer::Close() {
  if (!initialised) return;
  initialised = false;
}

int FrameBuffer::ClearScreen() { return FillRect(0, 0, 720, 576, 0); }

int FrameBuffer::RenderText(const std::string&, int, int, int, int, int, uint32_t) { return 0; }

int FrameBuffer::FillRect(int, int, int, int, uint32_t) { return 0; }

bool FrameBuffer::AllocBackBuffer(int, uint32_t) { return false; }

bool FrameBuffer::FreeBackBuffer() { return false; }

bool FrameBuffer::CopyBackBuffer(int) { return false; }

bool FrameBuffer::UseBackBuffer(bool) { return true; }

int FrameBuffer::ReadPixel(int, int, uint8_t* out) { return out == nullptr ? -1 : 0; }

void FrameBuffer::GetTextSize(int, const std::string&, int& width, int& height, int& descent) {
  width = height = descent = 0;
}

void FrameBuffer::SetPaletteColor(int, uint32_t) {}

int FrameBuffer::BlitBitmap(const uint8_t*, int, int h, int, int) { return h > 0 ? h : 0; }

int FrameBuffer::Lock() { return pthread_mutex_lock(&lock); }

int FrameBuffer::Unlock() { return pthread_mutex_unlock(&lock); }

int FrameBuffer::GetBitsPerPixel() { return bitsPerPixel; }
