// The transmitter's select() loop and its signals. Signal handlers only raise flags; the loop
// acts on them as soon as select() returns, so that no log line or counter update is ever
// interrupted half-way.
#pragma once

struct tesseltx;

void tx_install_signal_handlers();

// SIGALRM and SIGTERM handlers.
void get_stats(int sig);
void term(int sig);

// One pass of the loop; returns after at most ~100 ms.
void tx_loop_pass(tesseltx *t);

[[noreturn]] void tx_run(tesseltx *t);
