// The system-call edge around the engine: the sockets of the outputs, the descriptor sets of a
// pass, and the reads and writes that hand datagrams to the engine and take its packets. Reads
// drain a socket in batches (recvmmsg for the input, straight into consecutive ring slots);
// the loop's sends gather in a batch per output that leaves in one sendmmsg.
#pragma once

#include <cstddef>
#include <sys/select.h>

#include <cstdint>

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

// Datagrams one system call moves at most, and what one output reads or sends in one pass at
// most before the others have their turn.
inline constexpr std::size_t tx_batch_size = 32;
inline constexpr unsigned tx_pass_cap = 256;

// Reads the datagrams waiting on the input socket (one batch) into the next ring slots and
// returns how many it read; `filled` (when given) tells whether the batch was full, so that
// more may wait. With `known_readable` (select() said so) the first read may wait; else none
// does.
[[gnu::noinline]] std::size_t tun_net_rx(tesseltx *t, bool known_readable = true, bool *filled = nullptr);

// Reads and handles the datagrams waiting on the transmission's socket (at most a pass's cap).
// With `known_readable` the first read may wait; else none does.
[[gnu::noinline]] void tr_net_rx(transmission *tr, bool known_readable = true);

// Sends the most urgent packet the transmission has; inside the loop's send phase it joins the
// output's batch instead.
[[gnu::noinline]] void tr_net_tx(transmission *tr);

// Input datagrams longer than a slice so far (their tail is cut off).
std::uint64_t tx_oversized_inputs();

// The engine's packets leave through sendto() on the transmission's socket.
extern const tx_send_fn tr_sendto;

// Per-pass hooks of the main loop: liveness and the plan into the descriptor sets before
// select(), reads and writes after it. An output whose batch could not leave (the socket's
// buffer is full) waits for its socket to become writable and plans nothing new.
void tr_fdset(transmission *tr, int *max_fd, fd_set *rfds, fd_set *wfds);
// Reads what every output in `rfds` has waiting (every output when `tick`: the pass slept
// without watching them), then sends for each what its plan allows, batched: first the packet
// the plan in `wfds` already counted, then as long as the plan allows, up to a pass's cap.
// True when an output reached the cap and has more to send.
bool tr_fdsel(transmission *tr, fd_set *rfds, fd_set *wfds, bool tick = false);

// Whether any active output has stream work left (new or resent slices, parity) that its
// window or the encryption still holds back: the loop then ticks instead of waiting idle.
bool tx_stream_pending(const tesseltx *t);
