// The transmitter's clock: every time the engine keeps is a reading of the monotonic clock,
// taken here. Tests replace the source to drive time by hand.
#pragma once

#include "tun_time.h"

using tx_clock_fn = void (*)(timespec64 *out);
extern tx_clock_fn tx_monotonic_clock;
void tx_read_monotonic(timespec64 *out);
