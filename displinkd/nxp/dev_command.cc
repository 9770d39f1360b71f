// The interrupt path: the hand-off from the main loop (one queue message, the line no longer
// watched), the command thread that runs the register layer's interrupt handler under the
// module semaphore, and the cause handlers that turn interrupt causes into instance states and
// application events.
#include "dev_instance.h"

#include "hdtx_reg.h"

namespace {

constexpr std::uint16_t i2c_error_backoff_ms = 10;

void ignore_cause(unsigned) {}

// A sink came or went: whatever EDID was read belongs to the old state of the cable.
void on_hot_plug(unsigned unit) {
  hdtx_dev_instance &d = dev_instance();
  bool plugged = false;
  if (hdtx_reg_hot_plug_get_status(unit, &plugged) != HDTX_OK)
    return;
  if (d.state == HDTX_STATE_EDID_AVAILABLE)
    d.state = HDTX_STATE_SET_UP;
  d.edid_before_setup = false;
  dev_raise_event(plugged ? HDTX_HPD_ACTIVE : HDTX_HPD_INACTIVE);
}

void on_rx_sense(unsigned unit) {
  bool active = false;
  if (hdtx_reg_rx_sense_get_status(unit, &active) != HDTX_OK)
    return;
  dev_raise_event(active ? HDTX_RX_DEVICE_ACTIVE : HDTX_RX_DEVICE_INACTIVE);
}

// The whole EDID is in (or block 0 was corrupt, which the status tells).
void on_edid_complete(unsigned unit) {
  hdtx_dev_instance &d = dev_instance();
  if (d.state == HDTX_STATE_OPENED) {
    // Nobody is set up to hear it yet; hdtx_instance_setup passes it on.
    d.edid_before_setup = true;
    return;
  }
  std::uint8_t status = HDTX_EDID_NOT_READ;
  unsigned blocks = 0;
  if (hdtx_reg_edid_get_status(unit, &status, &blocks) != HDTX_OK)
    return;
  if (d.state == HDTX_STATE_SET_UP && (status == HDTX_EDID_READ || status == HDTX_EDID_EXT_CHECKSUM))
    d.state = HDTX_STATE_EDID_AVAILABLE;
  dev_raise_event(HDTX_EDID_RECEIVED);
}

void on_cause_12(unsigned) {
  dev_raise_event(HDTX_EVENT_CAUSE_12);
}

constexpr hdtx_reg_callback callbacks[HDTX_REG_CALLBACKS] = {
    ignore_cause, on_hot_plug,  ignore_cause, ignore_cause,     ignore_cause, ignore_cause, ignore_cause,
    ignore_cause, ignore_cause, on_rx_sense,  on_edid_complete, ignore_cause, on_cause_12,
};
static_assert(HDTX_CAUSE_HOT_PLUG == 1 && HDTX_CAUSE_RX_SENSE == 9 && HDTX_CAUSE_EDID_BLOCK == 10 &&
              HDTX_CAUSE_CEC == 12);

void handle_message(hdtx_dev_instance &d, std::uint8_t message) {
  if (d.closing)
    return;
  if (message == DEV_MSG_EDID_READY) {
    dev_raise_event(HDTX_EDID_RECEIVED);
    return;
  }
  bool enabled = false;
  if (hdtx_reg_get_interrupt_handling(0, &enabled) != HDTX_OK || !enabled)
    return;
  const hdtx_err err = hdtx_reg_hw_handle_interrupt(0);
  // Give a disturbed bus a moment before the line, probably still low, is watched again.
  if (err == HDTX_REG_ERR_I2C_READ || err == HDTX_REG_ERR_I2C_WRITE)
    hdtx_os_wait(i2c_error_backoff_ms);
}

} // namespace

const hdtx_reg_callback *dev_reg_callbacks() {
  return callbacks;
}

void dev_command_task() {
  hdtx_dev_instance &d = dev_instance();
  const unsigned queue = d.queue.load();
  const unsigned semaphore = d.semaphore;
  for (;;) {
    std::uint8_t message = 0;
    if (hdtx_os_queue_receive(queue, &message) != HDTX_OK || message == DEV_MSG_STOP)
      return;
    if (hdtx_os_semaphore_p(semaphore) != HDTX_OK)
      return;
    handle_message(d, message);
    if (message == DEV_MSG_INTERRUPT)
      hdtx_os_enable_interrupts();
    hdtx_os_semaphore_v(semaphore);
  }
}

hdtx_err hdtx_handle_interrupt(unsigned instance) {
  // No module semaphore here: the main loop must not wait for the command thread's work, and
  // the line may be pulled from inside that work.
  if (instance != 0)
    return HDTX_ERR_BAD_INSTANCE;
  hdtx_dev_instance &d = dev_instance();
  if (!d.open.load())
    return HDTX_ERR_NOT_OPEN;
  // The line is let go before the message is queued: the other way round, a quick command
  // thread could re-enable it first and the late disable would leave it unwatched for good. On
  // a full queue the messages already waiting re-enable it.
  const hdtx_err disabled = hdtx_os_disable_interrupts();
  const hdtx_err err = hdtx_os_queue_send(d.queue.load(), DEV_MSG_INTERRUPT);
  return err != HDTX_OK ? err : disabled;
}
