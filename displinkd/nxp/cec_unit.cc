#include "cec_unit.h"

#include <cerrno>
#include <ctime>

namespace {

hdcec_unit unit_record;

hdtx_err sleep_ms(std::uint16_t ms) {
  timespec left{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
  // A signal must not shorten the core's settling time.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return 0;
}

hdtx_wait_func wait_function = sleep_ms;

} // namespace

void hdcec_set_wait_function(hdtx_wait_func wait) {
  wait_function = wait != nullptr ? wait : sleep_ms;
}

hdcec_err cec_wait(std::uint16_t ms) {
  return wait_function(ms);
}

hdcec_unit &cec_unit_record() {
  return unit_record;
}

hdcec_err cec_check_instance(unsigned instance, hdcec_unit **out) {
  if (instance >= HDCEC_UNITS)
    return HDCEC_ERR_BAD_INSTANCE;
  if (!unit_record.opened)
    return HDCEC_ERR_NOT_OPEN;
  *out = &unit_record;
  return 0;
}

hdcec_err cec_read(hdcec_unit &u, std::uint8_t reg, std::uint8_t *data, std::uint8_t count) {
  hdtx_i2c_msg msg{u.config.i2c_address, reg, count, data};
  if (u.config.read(&msg) != HDTX_OK)
    return HDCEC_ERR_I2C_READ;
  return 0;
}

hdcec_err cec_write(hdcec_unit &u, std::uint8_t reg, const std::uint8_t *data, std::uint8_t count) {
  // The adapter's record has a mutable pointer; it never writes through it for a write.
  hdtx_i2c_msg msg{u.config.i2c_address, reg, count, const_cast<std::uint8_t *>(data)};
  if (u.config.write(&msg) != HDTX_OK)
    return HDCEC_ERR_I2C_WRITE;
  return 0;
}

hdcec_err cec_read_register(hdcec_unit &u, std::uint8_t reg, std::uint8_t *value) {
  return cec_read(u, reg, value, 1);
}

hdcec_err cec_write_register(hdcec_unit &u, std::uint8_t reg, std::uint8_t value) {
  return cec_write(u, reg, &value, 1);
}
