#include "sim/sim_framebuffer.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

class SimFramebuffer::Handle : public SimHandle {
 public:
  explicit Handle(SimFramebuffer* device) : device_(device) { ++device_->openCount_; }
  ~Handle() override { --device_->openCount_; }

  ssize_t Read(void*, size_t) override {
    errno = EINVAL;
    return -1;
  }

  int Ioctl(unsigned long request, void* arg) override {
    if (device_->failRequest_ != 0 && request == device_->failRequest_) {
      errno = EIO;
      return -1;
    }
    if (arg == nullptr) {
      errno = EFAULT;
      return -1;
    }
    switch (request) {
      case FBIOGET_VSCREENINFO:
        std::memcpy(arg, &device_->var_, sizeof device_->var_);
        return 0;
      case FBIOGET_FSCREENINFO:
        std::memcpy(arg, &device_->fix_, sizeof device_->fix_);
        return 0;
      default:
        errno = ENOTTY;
        return -1;
    }
  }

  void* Mmap(size_t length, int, int, off_t offset) override {
    if (device_->failMmap_) {
      errno = ENOMEM;
      return MAP_FAILED;
    }
    if (offset != 0 || length == 0 || length > device_->memory_.size()) {
      errno = EINVAL;
      return MAP_FAILED;
    }
    return device_->memory_.data();
  }

 private:
  SimFramebuffer* device_;
};

SimFramebuffer::SimFramebuffer(const Geometry& geometry)
    : geometry_(geometry),
      stride_(geometry.stridePixels * BytesPerPixel()),  // geometry_ is set by now
      memory_(geometry.memoryBytes != 0 ? geometry.memoryBytes
                                        : static_cast<size_t>(stride_) * geometry.yres,
              0) {
  var_.xres = var_.xres_virtual = static_cast<uint32_t>(geometry.xres);
  var_.yres = var_.yres_virtual = static_cast<uint32_t>(geometry.yres);
  var_.bits_per_pixel = static_cast<uint32_t>(geometry.bitsPerPixel);
  if (geometry.bitsPerPixel == 32) {
    // Blue in the lowest byte of a little-endian word: blue, green, red, alpha.
    var_.blue = {0, 8, 0};
    var_.green = {8, 8, 0};
    var_.red = {16, 8, 0};
    var_.transp = {24, 8, 0};
  } else if (geometry.bitsPerPixel == 16) {
    var_.blue = {0, 5, 0};
    var_.green = {5, 6, 0};
    var_.red = {11, 5, 0};
  }
  std::strncpy(fix_.id, "zuva-sim", sizeof fix_.id - 1);
  fix_.smem_len = static_cast<uint32_t>(memory_.size());
  fix_.line_length = static_cast<uint32_t>(stride_);
  fix_.type = FB_TYPE_PACKED_PIXELS;
  fix_.visual = geometry.bitsPerPixel == 8 ? FB_VISUAL_PSEUDOCOLOR : FB_VISUAL_TRUECOLOR;
}

std::shared_ptr<SimHandle> SimFramebuffer::Open(int) {
  if (failOpen_) {
    errno = ENOENT;
    return nullptr;
  }
  return std::make_shared<Handle>(this);
}

uint32_t SimFramebuffer::PixelAt(int x, int y) const {
  if (x < 0 || y < 0) return 0;
  const size_t offset = static_cast<size_t>(y) * stride_ + static_cast<size_t>(x) * BytesPerPixel();
  if (offset + BytesPerPixel() > memory_.size()) return 0;
  const uint8_t* p = memory_.data() + offset;
  if (BytesPerPixel() == 1) return p[0];
  if (BytesPerPixel() == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  return static_cast<uint32_t>(p[2]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[0]) << 8 | p[3];
}

void SimFramebuffer::Fill(uint8_t value) { std::memset(memory_.data(), value, memory_.size()); }
