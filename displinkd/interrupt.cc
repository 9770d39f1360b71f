#include "interrupt.h"

#include "config.h"
#include "log.h"
#include "ugpio.h"

#include <cerrno>
#include <ctime>
#include <mutex>

namespace {

constexpr unsigned int INTERRUPT_GPIO_FLAGS = UGPIO_F_IN | UGPIO_F_EDGE(UGPIO_EDGE_FALLING);
static_assert(INTERRUPT_GPIO_FLAGS == 0x140);
constexpr const char *INTERRUPT_GPIO_LABEL = "HDMI_IRQ_PIN";
// The transmitter signals by pulling the line low.
constexpr int INTERRUPT_EDGE = UGPIO_EDGE_FALLING;
constexpr long CALIBRATION_PULSE_NS = 9'700'000;

// The edge of a GPIO value file shows as priority data; a vanished line as error or hang-up.
constexpr GIOCondition INTERRUPT_CONDITIONS = static_cast<GIOCondition>(G_IO_PRI | G_IO_ERR | G_IO_HUP);

// The command thread re-adds the descriptor while the main thread may be tearing the source
// down, so the handle, the source and the tag change only under this lock.
std::mutex state_lock;
ugpio_t *interrupt_gpio = nullptr;
GSource *interrupt_source = nullptr;
gpointer interrupt_tag = nullptr;

// Main thread only.
displinkd_interrupt_callback interrupt_callback = nullptr;

ugpio_t *current_gpio() {
  std::lock_guard<std::mutex> hold(state_lock);
  return interrupt_gpio;
}

// Called with the lock held.
void drop_source_locked() {
  if (interrupt_source == nullptr)
    return;
  if (interrupt_tag != nullptr) {
    g_source_remove_unix_fd(interrupt_source, interrupt_tag);
    interrupt_tag = nullptr;
  }
  g_source_destroy(interrupt_source);
  g_source_unref(interrupt_source);
  interrupt_source = nullptr;
}

int set_edge(ugpio_t *gpio, int edge) {
  if (ugpio_set_edge(gpio, edge) == 0)
    return 0;
  if (edge == UGPIO_EDGE_NONE)
    DL_ERROR("%sNot possible to disable interrupt trigger: %m");
  else
    DL_ERROR("%sNot possible to enable interrupt trigger: %m");
  return 1;
}

int drive_high_as_output(ugpio_t *gpio) {
  if (ugpio_direction_output(gpio, 1) == 0)
    return 0;
  DL_ERROR("%sNot possible to set interrupt line to output: %m");
  return 1;
}

gboolean interrupt_dispatch(GSource *, GSourceFunc, gpointer) {
  // Reading from the start acknowledges the edge; the level itself tells nothing.
  if (ugpio_t *gpio = current_gpio())
    ugpio_get_value(gpio);
  DL_DEBUG("%scalling interrupt callback function");
  if (interrupt_callback != nullptr)
    interrupt_callback();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs interrupt_source_funcs = {nullptr, nullptr, interrupt_dispatch, nullptr, nullptr, nullptr};

} // namespace

int displinkd_interrupt_init_pin() {
  if (current_gpio() != nullptr)
    return 0;
  const int pin = displinkd_config_get_interrupt_pin();
  ugpio_t *gpio = nullptr;
  if (pin >= 0)
    gpio = ugpio_request_one(static_cast<unsigned int>(pin), INTERRUPT_GPIO_FLAGS, INTERRUPT_GPIO_LABEL);
  if (gpio == nullptr) {
    DL_ERROR("%sFailed when requesting gpio %d (%s) for interrupt", pin, INTERRUPT_GPIO_LABEL);
    return 1;
  }
  if (ugpio_full_open(gpio) != 0) {
    DL_ERROR("%sfd open for gpio pin %d returned %m", pin);
    ugpio_free(gpio);
    return 1;
  }
  std::lock_guard<std::mutex> hold(state_lock);
  interrupt_gpio = gpio;
  return 0;
}

int displinkd_interrupt_init(GMainLoop *loop, displinkd_interrupt_callback callback) {
  if (callback == nullptr) {
    DL_ERROR("%sInterrupt callback function undefined");
    return 1;
  }
  interrupt_callback = callback;
  ugpio_t *gpio = current_gpio();
  if (gpio == nullptr) {
    DL_ERROR("%sInterrupt pin not initialised");
    return 1;
  }
  if (ugpio_direction_input(gpio) != 0)
    return 1;
  if (set_edge(gpio, INTERRUPT_EDGE) != 0)
    return 1;

  GSource *source = g_source_new(&interrupt_source_funcs, sizeof(GSource));
  if (source == nullptr) {
    DL_ERROR("%sFailed to create new mainloop input source");
    return 1;
  }
  if (g_source_attach(source, loop != nullptr ? g_main_loop_get_context(loop) : nullptr) == 0) {
    DL_ERROR("%sFailed to register input source for mainloop");
    g_source_unref(source);
    return 1;
  }
  {
    std::lock_guard<std::mutex> hold(state_lock);
    drop_source_locked();
    interrupt_source = source;
  }
  return displinkd_interrupt_enable();
}

int displinkd_interrupt_enable() {
  std::lock_guard<std::mutex> hold(state_lock);
  if (interrupt_source == nullptr || interrupt_gpio == nullptr)
    return 1;
  // A second tag for the same descriptor could never be removed again by disable.
  if (interrupt_tag != nullptr)
    return 0;
  const int fd = ugpio_fd(interrupt_gpio);
  if (fd < 0)
    return 1;
  interrupt_tag = g_source_add_unix_fd(interrupt_source, fd, INTERRUPT_CONDITIONS);
  return 0;
}

int displinkd_interrupt_disable() {
  std::lock_guard<std::mutex> hold(state_lock);
  if (interrupt_source == nullptr)
    return 1;
  if (interrupt_tag != nullptr) {
    g_source_remove_unix_fd(interrupt_source, interrupt_tag);
    interrupt_tag = nullptr;
  }
  return 0;
}

int displinkd_interrupt_shutdown() {
  int rc = 0;
  ugpio_t *gpio = current_gpio();
  if (gpio != nullptr) {
    rc |= set_edge(gpio, UGPIO_EDGE_NONE);
    rc |= drive_high_as_output(gpio);
  }
  {
    std::lock_guard<std::mutex> hold(state_lock);
    drop_source_locked();
    interrupt_gpio = nullptr;
  }
  if (gpio != nullptr) {
    ugpio_close(gpio);
    if (ugpio_free(gpio) != 0)
      rc = 1;
  }
  interrupt_callback = nullptr;
  DL_DEBUG("%sdone closing interrupt");
  return rc;
}

int displinkd_interrupt_init_cec_calibration() {
  ugpio_t *gpio = current_gpio();
  if (gpio == nullptr) {
    DL_ERROR("%sIRQ pin not enabled");
    return 1;
  }
  if (set_edge(gpio, UGPIO_EDGE_NONE) != 0)
    return 1;
  return drive_high_as_output(gpio);
}

int displinkd_interrupt_perform_cec_calibration() {
  ugpio_t *gpio = current_gpio();
  if (gpio == nullptr) {
    DL_ERROR("%sIRQ pin not enabled");
    return 1;
  }
  DL_DEBUG("%sPulling down HDMI interrupt line");
  if (ugpio_set_value(gpio, 0) != 0) {
    DL_ERROR("%sNot possible to change value on gpio to 0: %m");
    return 1;
  }
  // A short pulse would calibrate the CEC clock wrongly, so a signal only costs the warning (its
  // handler may have stretched the pulse); the rest of the delay is still waited.
  timespec delay{0, CALIBRATION_PULSE_NS};
  timespec remaining{};
  bool warned = false;
  while (nanosleep(&delay, &remaining) != 0 && errno == EINTR) {
    if (!warned) {
      DL_WARNING("%sCalibration delay interrupted, CEC clock may be out of skew");
      warned = true;
    }
    delay = remaining;
  }
  if (ugpio_set_value(gpio, 1) != 0) {
    DL_ERROR("%sNot possible to change value on gpio to 1: %m");
    return 1;
  }
  DL_DEBUG("%sPulling up HDMI interrupt line");
  return 0;
}

int displinkd_interrupt_end_cec_calibration() {
  ugpio_t *gpio = current_gpio();
  if (gpio == nullptr) {
    DL_ERROR("%sIRQ pin not enabled");
    return 1;
  }
  if (ugpio_direction_input(gpio) != 0)
    return 1;
  return set_edge(gpio, INTERRUPT_EDGE);
}
