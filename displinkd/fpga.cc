#include "fpga.h"

#include "cam_extern.h"
#include "log.h"

#include <cstdint>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Where the HDMI control device hangs: the attach words (1, 0, 3).
constexpr cam_extern_req HDMI_CONTROL_ATTACH{1, 0, 3};
constexpr std::uint32_t CONTROL_REGISTER = 0;

class device_fd {
public:
  explicit device_fd(int fd) : fd_(fd) {}
  ~device_fd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  device_fd(const device_fd &) = delete;
  device_fd &operator=(const device_fd &) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

// A word that could not be read is never written back: writing a guess would switch the other
// functions of the control word on or off behind the caller's back.
int modify_control_word(std::uint32_t set, std::uint32_t clear) {
  device_fd dev(open(CAM_DEVICE_PATH, O_RDWR | O_CLOEXEC));
  if (dev.get() < 0) {
    DL_ERROR("%sFailed to open %s", CAM_DEVICE_PATH);
    return 0;
  }

  cam_extern_req attach = HDMI_CONTROL_ATTACH;
  int dev_nbr = ioctl(dev.get(), CAM_IOC_EXTERN_ATTACH, &attach);
  if (dev_nbr < 0) {
    DL_ERROR("%sFailed to attach FPGA control device: %m");
    return 0;
  }

  cam_extern_req req{CONTROL_REGISTER, 0, static_cast<std::uint32_t>(dev_nbr)};
  if (ioctl(dev.get(), CAM_IOC_EXTERN_READ, &req) < 0) {
    DL_ERROR("%sFailed to read FPGA control word: %m");
    return 0;
  }

  req.value = (req.value & ~clear) | set;
  req.reg = CONTROL_REGISTER;
  req.dev_nbr = static_cast<std::uint32_t>(dev_nbr);
  if (ioctl(dev.get(), CAM_IOC_EXTERN_WRITE, &req) < 0) {
    DL_ERROR("%sFailed to write FPGA control word: %m");
    return 0;
  }
  return 1;
}

} // namespace

int displinkd_fpga_enable_pll() {
  return modify_control_word(DISPLINKD_FPGA_PLL_ON, 0);
}

int displinkd_fpga_enable_hdmi() {
  return modify_control_word(DISPLINKD_FPGA_HDMI_ON, 0);
}

int displinkd_fpga_disable_hdmi() {
  return modify_control_word(0, DISPLINKD_FPGA_HDMI_ON);
}

int displinkd_fpga_enable_hdmi_mode_sd(bool from720) {
  return modify_control_word(DISPLINKD_FPGA_MODE_SD | (from720 ? DISPLINKD_FPGA_FROM_720 : 0U), 0);
}

int displinkd_fpga_enable_hdmi_mode_hd() {
  return modify_control_word(0, DISPLINKD_FPGA_MODE_SD);
}
