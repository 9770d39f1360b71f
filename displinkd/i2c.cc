#include "i2c.h"

#include "config.h"
#include "log.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::mutex bus_lock;
int bus_fd = -1;

// The selection is forced: the address may be claimed by a kernel driver for the same chip, and
// the daemon must reach the chip all the same. Caller holds bus_lock.
bool select_slave(unsigned slave) {
  if (ioctl(bus_fd, I2C_SLAVE_FORCE, static_cast<unsigned long>(slave & 0xffU)) < 0) {
    DL_ERROR("%sFailed to acquire I2C bus access and/or talk to slave");
    return false;
  }
  return true;
}

// A short transfer sets no errno of its own; name it so that the message does not show a stale one.
void flag_short(ssize_t done) {
  if (done >= 0) {
    errno = EIO;
  }
}

} // namespace

int displinkd_i2c_init() {
  const char *path = displinkd_config_get_i2c_device_path();
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    DL_ERROR("%sError opening i2c character device file");
    return 1;
  }
  std::lock_guard<std::mutex> hold(bus_lock);
  if (bus_fd >= 0) {
    close(bus_fd);
  }
  bus_fd = fd;
  return 0;
}

int displinkd_i2c_close() {
  std::lock_guard<std::mutex> hold(bus_lock);
  if (bus_fd < 0) {
    return 0;
  }
  int rc = close(bus_fd);
  bus_fd = -1;
  return rc == 0 ? 0 : 1;
}

int displinkd_i2c_read(unsigned slave, std::uint8_t reg, std::uint8_t *buf, std::size_t len) {
  if (buf == nullptr && len > 0) {
    DL_ERROR("%sError reading I2C");
    return 1;
  }
  std::lock_guard<std::mutex> hold(bus_lock);
  if (!select_slave(slave)) {
    return 1;
  }
  ssize_t sent = write(bus_fd, &reg, 1);
  if (sent != 1) {
    flag_short(sent);
    DL_ERROR("%sError setting I2C register to read: %m");
    return 1;
  }
  ssize_t got = read(bus_fd, buf, len);
  if (got < 0 || static_cast<std::size_t>(got) != len) {
    DL_ERROR("%sError reading I2C");
    return 1;
  }
  return 0;
}

int displinkd_i2c_write(unsigned slave, std::uint8_t reg, const std::uint8_t *data, std::size_t len) {
  std::array<std::uint8_t, DISPLINKD_I2C_WRITE_BUFFER> out{};
  if (len >= out.size()) {
    DL_ERROR("%sI2C write exceed buffer size");
    return 1;
  }
  if (data == nullptr && len > 0) {
    DL_ERROR("%sError writing to I2C unit %m");
    return 1;
  }
  out[0] = reg;
  if (len > 0) {
    std::memcpy(out.data() + 1, data, len);
  }
  std::lock_guard<std::mutex> hold(bus_lock);
  if (!select_slave(slave)) {
    return 1;
  }
  ssize_t sent = write(bus_fd, out.data(), len + 1);
  if (sent < 0 || static_cast<std::size_t>(sent) != len + 1) {
    flag_short(sent);
    DL_ERROR("%sError writing to I2C unit %m");
    return 1;
  }
  return 0;
}

hdtx_err displinkd_i2c_read_adapter(hdtx_i2c_msg *msg) {
  if (msg == nullptr) {
    return HDTX_I2C_ADAPTER_FAILED;
  }
  return displinkd_i2c_read(msg->slave_addr, msg->first_register, msg->data, msg->len_data) == 0
             ? HDTX_OK
             : HDTX_I2C_ADAPTER_FAILED;
}

hdtx_err displinkd_i2c_write_adapter(hdtx_i2c_msg *msg) {
  if (msg == nullptr) {
    return HDTX_I2C_ADAPTER_FAILED;
  }
  return displinkd_i2c_write(msg->slave_addr, msg->first_register, msg->data, msg->len_data) == 0
             ? HDTX_OK
             : HDTX_I2C_ADAPTER_FAILED;
}
