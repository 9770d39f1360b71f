// Open, close, set-up and power state of the one CEC instance, its callback, its initiator
// address and raw register writes.
#include "cec_unit.h"

namespace {

// The core's settling times after it is switched on and after its clock is set, in milliseconds.
constexpr std::uint16_t POWER_UP_WAIT_MS = 500;
constexpr std::uint16_t STEP_WAIT_MS = 250;

// Clock setting cleared unless the set-up asks to keep it.
constexpr std::uint8_t CLOCK_KEEP_MASK = 0xE6;
// Enable register: bits 0 and 7 switch the core on, bits 1 to 6 are kept as they are.
constexpr std::uint8_t ENABLE_KEEP_MASK = 0x7E;
constexpr std::uint8_t ENABLE_ON = 0x81;
constexpr std::uint8_t CONTROL_RESET = 0x80;
constexpr std::uint8_t CONTROL_RUN = 0x40;
constexpr std::uint8_t RETRIES = 5;
constexpr std::uint16_t BROADCAST_BIT = 1u << HDCEC_BROADCAST;

hdcec_err switch_on(hdcec_unit &u, bool retry) {
  std::uint8_t v = 0;
  if (hdcec_err err = cec_read_register(u, CEC_REG_ENABLE, &v))
    return err;
  auto on = static_cast<std::uint8_t>((v & ENABLE_KEEP_MASK) | ENABLE_ON);
  hdcec_err err = cec_write_register(u, CEC_REG_ENABLE, on);
  // Right after power-up the core may not answer the first write yet.
  if (err != 0 && retry)
    err = cec_write_register(u, CEC_REG_ENABLE, on);
  return err;
}

// Makes the core accept frames to `address` as well as those it already accepts.
hdcec_err accept_address(hdcec_unit &u, std::uint8_t address) {
  std::uint8_t mask_bytes[2];
  if (hdcec_err err = cec_read(u, CEC_REG_ADDRESS_MASK, mask_bytes, 2))
    return err;
  auto mask =
      static_cast<std::uint16_t>((unsigned{mask_bytes[0]} << 8) | unsigned{mask_bytes[1]} | (1u << address));
  // A core that listens to broadcasts gets the broadcast bit alone.
  if (mask & BROADCAST_BIT)
    mask = BROADCAST_BIT;
  const std::uint8_t out[2] = {static_cast<std::uint8_t>(mask >> 8), static_cast<std::uint8_t>(mask & 0xFFu)};
  return cec_write(u, CEC_REG_ADDRESS_MASK, out, 2);
}

hdcec_err setup_core(hdcec_unit &u, const hdcec_setup_info &setup) {
  std::uint8_t discard = 0;
  cec_wait(POWER_UP_WAIT_MS);
  if (hdcec_err err = cec_read_register(u, CEC_REG_FRAME, &discard))
    return err;
  if (hdcec_err err = switch_on(u, true))
    return err;
  cec_wait(STEP_WAIT_MS);
  if (setup.keep_clock == 0) {
    std::uint8_t clock = 0;
    if (hdcec_err err = cec_read_register(u, CEC_REG_CLOCK, &clock))
      return err;
    if (hdcec_err err =
            cec_write_register(u, CEC_REG_CLOCK, static_cast<std::uint8_t>(clock & CLOCK_KEEP_MASK)))
      return err;
  }
  cec_wait(STEP_WAIT_MS);
  if (hdcec_err err = cec_read_register(u, CEC_REG_FRAME, &discard))
    return err;
  if (hdcec_err err = cec_write_register(u, CEC_REG_CONTROL, CONTROL_RESET))
    return err;
  cec_wait(STEP_WAIT_MS);
  if (hdcec_err err = cec_write_register(u, CEC_REG_RETRY, RETRIES))
    return err;
  u.logical_address = static_cast<std::uint8_t>(setup.logical_address);
  if (hdcec_err err = accept_address(u, u.logical_address))
    return err;
  return cec_write_register(u, CEC_REG_CONTROL, CONTROL_RUN);
}

} // namespace

hdcec_err hdcec_open(unsigned *instance) {
  if (instance == nullptr)
    return HDCEC_ERR_NULL_ARGUMENT;
  hdcec_unit &u = cec_unit_record();
  if (u.opened)
    return HDCEC_ERR_ALREADY_OPEN;
  hdcec_config config{};
  if (hdcec_cfg_get_config(0, &config) != 0 || config.read == nullptr || config.write == nullptr)
    return HDCEC_ERR_NO_CONFIGURATION;
  u = hdcec_unit{};
  u.config = config;
  u.logical_address = HDCEC_BROADCAST;
  u.state = CEC_NOT_SET_UP;
  u.opened = true;
  *instance = 0;
  return 0;
}

hdcec_err hdcec_close(unsigned instance) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  u->opened = false;
  u->state = CEC_NOT_SET_UP;
  return 0;
}

hdcec_err hdcec_instance_setup(unsigned instance, const hdcec_setup_info *setup) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  if (setup == nullptr)
    return HDCEC_ERR_NULL_ARGUMENT;
  if (u->state != CEC_NOT_SET_UP)
    return HDCEC_ERR_WRONG_STATE;
  // The address selects a bit of the 16-bit acceptance mask.
  if (setup->logical_address > HDCEC_BROADCAST)
    return HDCEC_ERR_BAD_PARAMETER;
  if (hdcec_err err = setup_core(*u, *setup))
    return err;
  u->state = CEC_SET_UP;
  return 0;
}

hdcec_err hdcec_set_power_state(unsigned instance, unsigned state) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  if (state == HDCEC_POWER_ON)
    return switch_on(*u, false);
  if (state != HDCEC_POWER_STANDBY)
    return HDCEC_ERR_BAD_PARAMETER;
  std::uint8_t v = 0;
  if (hdcec_err err = cec_read_register(*u, CEC_REG_ENABLE, &v))
    return err;
  if (hdcec_err err = cec_write_register(*u, CEC_REG_ENABLE, static_cast<std::uint8_t>(v & ENABLE_KEEP_MASK)))
    return err;
  u->state = CEC_NOT_SET_UP;
  return 0;
}

hdcec_err hdcec_register_callbacks(unsigned instance, hdcec_callback_func callback) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  u->callback = callback;
  return 0;
}

hdcec_err hdcec_set_initiator_address(unsigned instance, std::uint8_t address) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  if (u->state != CEC_SET_UP)
    return HDCEC_ERR_WRONG_STATE;
  if (address > HDCEC_BROADCAST)
    return HDCEC_ERR_BAD_PARAMETER;
  u->logical_address = address;
  return 0;
}

hdcec_err hdcec_set_register(unsigned instance, std::uint8_t reg, std::uint8_t value) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  return cec_write_register(*u, reg, value);
}
