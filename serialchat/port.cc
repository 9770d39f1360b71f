#include "port.h"

#include "framing.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace serialchat {

unique_fd port_open(const options &o) {
  unique_fd fd(::open(o.device, O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    std::perror("port open");
    return {};
  }
  termios tio{};
  if (tcgetattr(fd.get(), &tio) != 0) {
    std::perror("port tcgetattr");
    return {};
  }
  cfmakeraw(&tio);
  if (o.rs485_enabled) {
    platform_rs485_record rec;
    if (ioctl(fd.get(), platform_rs485_request, &rec) != 0) {
      std::perror("port rs485");
      return {};
    }
  }
  if (cfsetispeed(&tio, o.speed) != 0) {
    std::perror("port cfsetispeed");
    return {};
  }
  if (cfsetospeed(&tio, o.speed) != 0) {
    std::perror("port cfsetospeed");
    return {};
  }
  set_framing(tio, o);
  if (tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
    std::perror("port tcsetattr");
    return {};
  }
  return fd;
}

} // namespace serialchat
