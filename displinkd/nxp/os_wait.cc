// The millisecond sleep of the transmitter library, replaceable so that tests need not sleep,
// and the failure log that the rest of the OS layer shares.
#include "hdtx_os.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <syslog.h>

namespace {

hdtx_err real_wait(std::uint16_t ms) {
  timespec left{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
  while (nanosleep(&left, &left) != 0) {
    if (errno != EINTR) {
      hdtx_os_log_error(__func__, __LINE__, errno);
      return HDTX_ERR_BAD_PARAMETER;
    }
  }
  return HDTX_OK;
}

std::atomic<hdtx_wait_func> wait_function{real_wait};

} // namespace

void hdtx_os_log_error(const char *function, int line, int error) {
  char text[128];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char *message = strerror_r(error, text, sizeof text);
  syslog(LOG_ERR, "%s:%d:%s", function, line, message);
}

hdtx_err hdtx_os_wait(std::uint16_t ms) {
  return wait_function.load()(static_cast<std::uint16_t>(ms & 0xFFFFu));
}

void hdtx_os_set_wait_function(hdtx_wait_func wait) {
  wait_function.store(wait != nullptr ? wait : real_wait);
}
