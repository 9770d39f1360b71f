// Rate limits for what a peer can make the transmitter do at will: log lines of one kind, and
// costly answers (key replies); and the set of them each output keeps. A limit lets the first
// `burst` events through at once, then at most `per_second` in each second of the clock it is
// handed, and counts the rest so that a line can say how many were held back. No clock of its
// own: the engine's `now` drives it.
#pragma once

#include <cstdint>

#include "tun_time.h"

struct tx_ratelimit {
  unsigned burst = 10;
  unsigned per_second = 2;
  unsigned burst_used = 0;
  bool window_open = false;
  timespec64 window{}; // start of the current second, once the burst is spent
  unsigned in_window = 0;
  std::uint64_t held = 0; // refused since the last report
  std::uint64_t held_total = 0;
};

inline constexpr tx_ratelimit tx_ratelimit_of(unsigned burst, unsigned per_second) {
  tx_ratelimit r;
  r.burst = burst;
  r.per_second = per_second;
  return r;
}

// True when one more event may happen at `now`; false counts it as held.
bool tx_ratelimit_pass(tx_ratelimit *rl, const timespec64 &now);

// The number of events held back, once per second at most: returns it and starts counting
// again when the second in which they were held has ended by `now`; 0 otherwise.
std::uint64_t tx_ratelimit_report(tx_ratelimit *rl, const timespec64 &now);

// The limits of one output, a member of its transmission record. Log lines a peer causes: the
// first ones as they are worded, then a few per second and a line counting those held back. Key
// replies: each costs an RSA operation, so past a short burst only a few per second are made;
// the requests beyond are counted and dropped (a receiver asks again until it has a key).
struct tr_peer_limits {
  tx_ratelimit wrong_magic = tx_ratelimit_of(10, 2);
  tx_ratelimit wrong_version = tx_ratelimit_of(10, 2);
  tx_ratelimit unknown_type = tx_ratelimit_of(10, 2);
  tx_ratelimit info = tx_ratelimit_of(10, 2);
  tx_ratelimit key_log = tx_ratelimit_of(10, 2);
  tx_ratelimit future = tx_ratelimit_of(10, 2);
  tx_ratelimit too_old = tx_ratelimit_of(10, 2);
  tx_ratelimit key_replies = tx_ratelimit_of(4, 2);
};
