// The input path: one UDP datagram of the transport stream becomes the next numbered slice of
// the ring. The edge reads the datagram straight into the slot tx_input_slot names; tx_input
// then numbers it, checks it and hands it to the encryption worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

struct tesseltx;
struct tun_slice;
struct stats;

// The slot the next datagram is read into.
tun_slice *tx_input_slot(tesseltx *t);

// Makes the `len` bytes read into the slot the next slice, arrived at `now`, less
// `kernel_wait_us` (how long it waited in the kernel, when known). False when the ring overran a
// transmission's position: the tunnel has been stopped (tx_stop) and the slice is not counted.
bool tx_input(tesseltx *t, std::size_t len, std::optional<std::int64_t> kernel_wait_us);

// Counts sync-byte, transport-error and continuity faults of the slice's whole TS packets,
// remembering each PID's last continuity counter in `cc`. Never alters the data.
void tun_ts_check(const tun_slice *s, unsigned char *cc, stats *st);

// Slice supply of the encryption worker; called with the encryption lock held.
tun_slice *tun_aes_condition();
