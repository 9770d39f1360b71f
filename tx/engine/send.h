// The tunnel engine's per-transmission operations beyond creation: receiving and dispatching
// what a receiver sends, choosing and sending one packet, pacing, liveness and the hooks the
// retransmission, FEC and encryption modules plug into.
#pragma once

#include <cstddef>
#include <cstdint>

struct tesseltx;
struct transmission;
struct tun_slice;

// Reads and handles one datagram from the transmission's socket.
void tr_net_rx(transmission *tr);

// Sends the most urgent packet the transmission has.
void tr_net_tx(transmission *tr);

// 1 when a stream packet may go now (and counts it in the window), else 0.
int tr_bandwidth(transmission *tr);

// Makes a transmission the active one, starting it at the newest slice received.
void tr_activate(transmission *tr);

// Replaces the transmission's socket with a new one (new local port).
void tr_resocket(transmission *tr);

// 1 when slice `s` may be sent: always without encryption, else once the worker marked it.
unsigned char is_encrypted(tesseltx *t, tun_slice *s);

// Silence, in ms, after which a transmission re-sends its description (and, in backup mode,
// gives way to the next one): 1.2 x the tunnel delay, but never less than a floor, so that a
// zero or tiny delay does not turn every loop pass into a send.
inline constexpr std::uint64_t tr_silence_floor_ms = 250;
std::uint64_t tr_silence_ms(unsigned int delay_ms);

// Liveness.
void tun_ping_request(transmission *tr);
void tun_switch_backup(tesseltx *t);
void tun_alert(tesseltx *t);

// Retransmission: marks the slices a receiver asks for; finds the next one to resend.
void tun_request(transmission *tr, std::size_t received);
std::uint64_t tr_check_repeat(transmission *tr);

// FEC: adds a slice image (28 + 188 n bytes) to the parity accumulator; builds the parity
// packet in `packet` and returns its length.
void tr_fec_xor(transmission *tr, const std::uint8_t *image, std::size_t len, unsigned n);
std::size_t tr_fec_build(transmission *tr);
