// Start-up of the transmitter: from the parsed command line to a running tunnel.
#pragma once

#include <cstdint>

struct tesseltx;

// Rule 1 of the command line: zero-filled record with the documented defaults, every PID's
// continuity counter unseen and `now` read from the monotonic clock.
void tx_defaults(tesseltx *t);

// Slice-ring size for a tunnel delay (ms) and the first output's cap (slices per second):
// a power of two from 4096 to 524288 that holds one and a half delays at full rate, or 0 when
// no size fits.
struct tx_buffer_plan {
  std::uint64_t required = 0;
  int buff_size = 0;
};
tx_buffer_plan tx_plan_buffer(unsigned int delay_ms, std::uint64_t cap);

// Runs the start-up sequence after the options: sizes and allocates the ring, installs the
// signal handlers and the statistics timer, checks the input socket and the protocol-version
// rules, and prepares the transmissions and the rrdcached clients. Stops through tx_die on
// configuration errors.
void tx_startup(tesseltx *t, int input_rcvbuf);
