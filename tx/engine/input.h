// The input path: one UDP datagram of the transport stream becomes the next numbered slice of
// the ring. The edge reads the datagram straight into the slot tx_input_slot names; tx_input
// then numbers it and checks it, and tx_input_publish hands a batch of them to the encryption
// worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ring.h"

void tx_input_first(tesseltx *t);

// The slot the next datagram is read into (inline: it runs for every datagram).
inline tun_slice *tx_input_slot(tesseltx *t) {
  if (t->next == 1) {
    tx_input_first(t); // logs that the stream has begun
  }
  return tx_ring_slot(t, t->next);
}

// Makes the `len` bytes read into `slot` (from tx_input_slot) the next slice, arrived at `now`,
// less `kernel_wait_us` (how long it waited in the kernel, when known). False when the ring
// overran a transmission's position: the tunnel has been stopped (tx_stop) and the slice is not
// counted.
bool tx_input(tesseltx *t, tun_slice *slot, std::size_t len, std::optional<std::int64_t> kernel_wait_us);

// Hands every slice taken so far to the encryption worker, if there is one: once per batch of
// input, so that the worker wakes at most once for it.
void tx_input_publish(tesseltx *t);

// Counts sync-byte, transport-error and continuity faults of the slice's whole TS packets,
// remembering each PID's last continuity counter in `cc`. Never alters the data.
void tun_ts_check(const tun_slice *s, unsigned char *cc, stats *st);

// Slice supply of the encryption worker; called with the encryption lock held.
tun_slice *tun_aes_condition();
