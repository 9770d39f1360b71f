#include "ratelimit.h"

namespace {

// A clock that went back (a test's fresh virtual clock, a stepped one) opens a new second
// rather than freezing the limit until it catches up.
bool second_over(const tx_ratelimit *rl, const timespec64 &now) {
  if (timespec64_before(now, rl->window)) {
    return true;
  }
  const timespec64 end{rl->window.tv_sec + 1, rl->window.tv_nsec};
  return !timespec64_before(now, end);
}

} // namespace

bool tx_ratelimit_pass(tx_ratelimit *rl, const timespec64 &now) {
  if (rl->burst_used < rl->burst) {
    ++rl->burst_used;
    return true;
  }
  if (!rl->window_open || second_over(rl, now)) {
    rl->window_open = true;
    rl->window = now;
    rl->in_window = 0;
  }
  if (rl->in_window < rl->per_second) {
    ++rl->in_window;
    return true;
  }
  ++rl->held;
  ++rl->held_total;
  return false;
}

std::uint64_t tx_ratelimit_report(tx_ratelimit *rl, const timespec64 &now) {
  if (rl->held == 0 || !second_over(rl, now)) {
    return 0;
  }
  const std::uint64_t n = rl->held;
  rl->held = 0;
  return n;
}
