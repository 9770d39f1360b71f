// The system-call edge around the engine: the sockets of the outputs, the descriptor sets of a
// pass, and the reads and writes that hand datagrams to the engine and take its packets.
#pragma once

#include <sys/select.h>

#include "send.h"

struct tesseltx;
struct transmission;

// Creates a transmission for a "-d [ip]:port" argument and appends it to the transmitter's
// list; null (after logging why) when the argument or the socket fails.
transmission *tr_create_from_optarg(tesseltx *t, const char *arg);

// Replaces the transmission's socket with a new one (new local port).
void tr_resocket(transmission *tr);

// The three paths a datagram takes stay functions of their own (never inlined into the loop),
// so that profiles and the benchmark's instruction counts find them by name.

// Reads at most one datagram from the input socket into the next ring slot.
[[gnu::noinline]] void tun_net_rx(tesseltx *t);

// Reads and handles one datagram from the transmission's socket.
[[gnu::noinline]] void tr_net_rx(transmission *tr);

// Sends the most urgent packet the transmission has.
[[gnu::noinline]] void tr_net_tx(transmission *tr);

// The engine's packets leave through sendto() on the transmission's socket.
extern const tx_send_fn tr_sendto;

// Per-pass hooks of the main loop: liveness and the plan into the descriptor sets before
// select(), reads and writes after it.
void tr_fdset(transmission *tr, int *max_fd, fd_set *rfds, fd_set *wfds);
void tr_fdsel(transmission *tr, fd_set *rfds, fd_set *wfds);
