#include "clock.h"

namespace {

void system_monotonic(timespec64 *out) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  *out = timespec64_from(ts);
}

} // namespace

tx_clock_fn tx_monotonic_clock = system_monotonic;

void tx_read_monotonic(timespec64 *out) {
  tx_monotonic_clock(out);
}
