// Power states of the transmitter instance, and the EDID read that powering on starts when a
// sink is already there.
#include "dev_instance.h"

#include "hdtx_reg.h"

#include <algorithm>

namespace {

// A sink's DDC lines are not reliable straight after the transmitter comes up.
constexpr std::uint16_t edid_read_delay_ms = 500;

hdtx_err start_edid_read(hdtx_dev_instance &d) {
  bool plugged = false;
  hdtx_err err = hdtx_reg_hot_plug_get_status(0, &plugged);
  if (err != HDTX_OK || !plugged || d.state == HDTX_STATE_EDID_AVAILABLE)
    return err;
  hdtx_os_wait(edid_read_delay_ms);
  const unsigned size = d.setup.edid_buffer != nullptr ? d.setup.edid_buffer_size : 0;
  const unsigned blocks = std::min(size / HDTX_EDID_BLOCK_SIZE, 255u);
  err = hdtx_reg_edid_request_block_data(0, d.setup.edid_buffer, blocks, size);
  // A read already under way delivers its EDID all the same.
  return err == HDTX_REG_ERR_NOT_ALLOWED ? HDTX_OK : err;
}

} // namespace

hdtx_err hdtx_set_power_state(unsigned instance, unsigned state) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  hdtx_dev_instance &d = dev_instance();
  if (state > HDTX_POWER_OFF)
    err = HDTX_ERR_BAD_PARAMETER;
  else if (state == HDTX_POWER_SUSPEND && d.chip_version == 1)
    err = HDTX_ERR_NOT_SUPPORTED;
  else
    err = hdtx_reg_power_set_state(0, state);
  if (err == HDTX_OK) {
    if (state == HDTX_POWER_STANDBY || state == HDTX_POWER_OFF) {
      d.state = HDTX_STATE_OPENED;
      d.edid_before_setup = false;
      d.video_configured = false;
    } else if (state == HDTX_POWER_ON) {
      err = start_edid_read(d);
    }
  }
  dev_leave();
  return err;
}
