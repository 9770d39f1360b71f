// The transmitter's select() loop and its signals. Signal handlers only raise flags; the loop
// acts on them as soon as select() returns, so that no log line or counter update is ever
// interrupted half-way.
#pragma once

#include <cstddef>

struct tesseltx;

void tx_install_signal_handlers();

// SIGALRM and SIGTERM handlers.
void get_stats(int sig);
void term(int sig);

// While data flows the loop does not wake for every datagram: a pass sleeps this tick, then
// drains every socket. It waits on its descriptors (up to 100 ms) when idle, and while the
// input's datagrams come further apart than a tick (each then wakes it once).
inline constexpr long tx_tick_us = 1000;

// The stage timings read the thread's CPU clock in one pass of each run of this many, at a
// random place in the run, and count that pass this many times.
inline constexpr unsigned tx_timing_sample_every = 32;

// One pass of the loop; returns after at most ~100 ms.
void tx_loop_pass(tesseltx *t);

[[noreturn]] void tx_run(tesseltx *t);
