// Clock calibration of the CEC core: while it is enabled the core measures the reference pulse
// that the daemon drives on the interrupt line, and sets its bit clock from it.
#include "cec_unit.h"

namespace {

struct cal_step {
  std::uint8_t reg;
  std::uint8_t keep; // bits of the current value kept (0: plain write)
  std::uint8_t set;
};

constexpr cal_step enable_steps[] = {
    {CEC_REG_CAL_A, 0x00, 0xC0}, {CEC_REG_CAL_B, 0x00, 0xD4},  {CEC_REG_CAL_C, 0x7F, 0x00},
    {CEC_REG_CLOCK, 0x00, 0x11}, {CEC_REG_ENABLE, 0xBF, 0x80}, {CEC_REG_CAL_ENABLE, 0x00, 0x01},
};

hdcec_err apply(hdcec_unit &u, const cal_step &step) {
  std::uint8_t v = 0;
  if (step.keep != 0) {
    if (hdcec_err err = cec_read_register(u, step.reg, &v))
      return err;
  }
  return cec_write_register(u, step.reg, static_cast<std::uint8_t>((v & step.keep) | step.set));
}

} // namespace

hdcec_err hdcec_enable_calibration(unsigned instance, unsigned enable) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  if (enable != 1)
    return 0;
  for (const cal_step &step : enable_steps)
    if (hdcec_err err = apply(*u, step))
      return err;
  return 0;
}

hdcec_err hdcec_disable_calibration(unsigned instance) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  return cec_write_register(*u, CEC_REG_CAL_ENABLE, 0x00);
}
