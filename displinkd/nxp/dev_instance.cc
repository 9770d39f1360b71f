// The transmitter instance's life cycle: open (configuration, command queue and thread,
// register layer), set-up, callback and event registration, close; the module semaphore and
// the resolution table lookup.
#include "dev_instance.h"

#include "hdtx_reg.h"

#include <thread>

namespace {

// The format and pixel rate the register layer starts with; hdtx_set_input_output sets the
// real ones.
constexpr unsigned initial_video_format = 16;

unsigned chip_version_number(std::uint16_t version) {
  switch (version) {
  case HDTX_VERSION_N1:
    return 1;
  case HDTX_VERSION_N2:
    return 2;
  case HDTX_VERSION_N3:
    return 3;
  case HDTX_VERSION_N4:
    return 4;
  default:
    return 0;
  }
}

// Ends the command thread: the stop message goes behind whatever interrupts are still queued,
// which the thread skips once it sees the instance closing.
void stop_command_task(hdtx_dev_instance &d) {
  while (hdtx_os_queue_send(d.queue.load(), DEV_MSG_STOP) == HDTX_ERR_QUEUE_FULL)
    std::this_thread::yield();
  hdtx_os_task_join(d.task);
}

bool edid_usable() {
  std::uint8_t status = HDTX_EDID_NOT_READ;
  unsigned blocks = 0;
  return hdtx_reg_edid_get_status(0, &status, &blocks) == HDTX_OK &&
         (status == HDTX_EDID_READ || status == HDTX_EDID_EXT_CHECKSUM);
}

} // namespace

hdtx_dev_instance &dev_instance() {
  static hdtx_dev_instance instance;
  return instance;
}

hdtx_err dev_enter(unsigned instance) {
  if (instance != 0)
    return HDTX_ERR_BAD_INSTANCE;
  hdtx_dev_instance &d = dev_instance();
  if (!d.open.load())
    return HDTX_ERR_NOT_OPEN;
  if (hdtx_os_semaphore_p(d.semaphore) != HDTX_OK)
    return HDTX_ERR_SEMAPHORE;
  return HDTX_OK;
}

void dev_leave() {
  hdtx_os_semaphore_v(dev_instance().semaphore);
}

void dev_raise_event(unsigned event) {
  hdtx_dev_instance &d = dev_instance();
  if (event >= HDTX_EVENT_COUNT || !d.event_enabled[event] || d.callback == nullptr)
    return;
  const hdtx_callback_func callback = d.callback;
  // The application answers events by calling the library (power, formats, EDID getters).
  hdtx_os_semaphore_v(d.semaphore);
  callback(event);
  hdtx_os_semaphore_p(d.semaphore);
}

hdtx_err hdtx_open(unsigned *instance) {
  if (instance == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  hdtx_dev_instance &d = dev_instance();
  // Checked before the semaphore exists: a second open must not re-create the one in use.
  if (d.open.load())
    return HDTX_ERR_ALREADY_OPEN;

  hdtx_config config{};
  if (hdtx_get_config(0, &config) != HDTX_OK)
    return HDTX_ERR_NO_CONFIGURATION;
  unsigned semaphore = 0;
  hdtx_err err = hdtx_os_semaphore_create(&semaphore);
  if (err != HDTX_OK)
    return err;
  hdtx_os_semaphore_p(semaphore);

  d.closing = false;
  d.state = HDTX_STATE_CLOSED;
  d.chip_version = 0;
  d.setup = {};
  d.callback = nullptr;
  d.event_enabled = {};
  d.edid_before_setup = false;
  d.video_configured = false;
  d.vout_format = 0;
  d.ext_colorimetry = false;
  d.audio_mute = false;
  d.semaphore = semaphore;
  d.config = config;

  unsigned queue = 0;
  err = hdtx_os_queue_create(config.queue_size, &queue);
  if (err != HDTX_OK) {
    hdtx_os_semaphore_v(semaphore);
    hdtx_os_semaphore_destroy(semaphore);
    return err;
  }
  d.queue.store(queue);
  err = hdtx_os_task_create(dev_command_task, config.task_priority, config.task_stack_size, &d.task);
  if (err == HDTX_OK) {
    err = hdtx_os_task_start(d.task);
    if (err != HDTX_OK)
      hdtx_os_task_destroy(d.task);
  }
  if (err != HDTX_OK) {
    hdtx_os_queue_destroy(queue);
    hdtx_os_semaphore_v(semaphore);
    hdtx_os_semaphore_destroy(semaphore);
    return err;
  }

  err = hdtx_reg_init(0, config.i2c_address, config.i2c_write, config.i2c_read, hdtx_os_wait,
                      dev_reg_callbacks(), HDTX_REG_CALLBACKS, initial_video_format, HDTX_PIXRATE_SINGLE);
  bool reg_up = err == HDTX_OK;
  if (err == HDTX_OK)
    err = hdtx_reg_tmds_set_outputs(0, HDTX_TMDS_ACTIVE);
  std::uint16_t version = 0;
  if (err == HDTX_OK)
    err = hdtx_reg_hw_get_version(0, &version);
  if (err != HDTX_OK) {
    if (reg_up)
      hdtx_reg_deinit(0);
    d.closing = true;
    hdtx_os_semaphore_v(semaphore);
    stop_command_task(d);
    hdtx_os_queue_destroy(queue);
    hdtx_os_semaphore_destroy(semaphore);
    return err;
  }
  d.chip_version = chip_version_number(version);
  d.state = HDTX_STATE_OPENED;
  d.open.store(true);
  *instance = 0;
  hdtx_os_semaphore_v(semaphore);
  return HDTX_OK;
}

hdtx_err hdtx_close(unsigned instance) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  hdtx_dev_instance &d = dev_instance();
  d.state = HDTX_STATE_CLOSED;
  d.closing = true;
  // The thread may be waiting for the semaphore to handle a queued interrupt.
  dev_leave();
  stop_command_task(d);

  hdtx_os_semaphore_p(d.semaphore);
  hdtx_reg_deinit(0);
  hdtx_os_queue_destroy(d.queue.load());
  d.callback = nullptr;
  d.open.store(false);
  hdtx_os_semaphore_v(d.semaphore);
  return hdtx_os_semaphore_destroy(d.semaphore);
}

hdtx_err hdtx_instance_setup(unsigned instance, const hdtx_setup_info *setup) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  hdtx_dev_instance &d = dev_instance();
  if (setup == nullptr)
    err = HDTX_ERR_NULL_ARGUMENT;
  else if (d.state != HDTX_STATE_OPENED)
    err = HDTX_ERR_WRONG_STATE;
  else if (setup->edid_buffer != nullptr && setup->edid_buffer_size < HDTX_EDID_BLOCK_SIZE)
    err = HDTX_ERR_BAD_PARAMETER;
  if (err == HDTX_OK) {
    d.setup = *setup;
    d.state = HDTX_STATE_SET_UP;
    if (d.edid_before_setup) {
      // The read ended before the application was ready for it: deliver it from the command
      // thread, as every event is.
      d.edid_before_setup = false;
      if (edid_usable())
        d.state = HDTX_STATE_EDID_AVAILABLE;
      hdtx_os_queue_send(d.queue.load(), DEV_MSG_EDID_READY);
    }
  }
  dev_leave();
  return err;
}

hdtx_err hdtx_register_callbacks(unsigned instance, hdtx_callback_func callback) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  hdtx_dev_instance &d = dev_instance();
  if (callback == nullptr)
    err = HDTX_ERR_NULL_ARGUMENT;
  else if (d.state != HDTX_STATE_OPENED)
    err = HDTX_ERR_WRONG_STATE;
  else
    d.callback = callback;
  dev_leave();
  return err;
}

hdtx_err hdtx_enable_event(unsigned instance, unsigned event) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  if (event >= HDTX_EVENT_COUNT)
    err = HDTX_ERR_BAD_PARAMETER;
  else
    dev_instance().event_enabled[event] = true;
  dev_leave();
  return err;
}

hdtx_err hdtx_get_instance_state(unsigned instance, unsigned *state) {
  if (instance != 0)
    return HDTX_ERR_BAD_INSTANCE;
  if (state == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  if (!dev_instance().open.load()) {
    *state = HDTX_STATE_CLOSED;
    return HDTX_OK;
  }
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  *state = dev_instance().state;
  dev_leave();
  return HDTX_OK;
}

hdtx_err hdtx_get_video_format_specs(unsigned instance, unsigned code, hdtx_video_format_specs *specs) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  const hdtx_video_format_specs *row = dev_find_format(code);
  if (specs == nullptr)
    err = HDTX_ERR_NULL_ARGUMENT;
  else if (row == nullptr)
    err = HDTX_ERR_UNKNOWN_FORMAT;
  else {
    *specs = *row;
    // The first chip version sends the 1080i formats as progressive frames at half the rate.
    if (dev_instance().chip_version == 1 && (code == 5 || code == 20)) {
      specs->interlaced = false;
      specs->field_rate = code == 20 ? 1 : 2;
    }
  }
  dev_leave();
  return err;
}
