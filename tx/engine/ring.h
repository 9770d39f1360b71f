// The slice ring's addressing: a slice number's slot, in the ring and in each transmission's
// resend table, which are the same size (a power of two).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tesseltx.h"

// A size_t: on the 32-bit target a 64-bit value cannot index an array.
inline std::size_t tx_ring_index(const tesseltx *t, std::uint64_t seq) {
  return static_cast<std::size_t>(seq & (static_cast<std::uint64_t>(t->buff_size) - 1));
}

// The ring slot that holds (or will hold) slice `seq`.
inline tun_slice *tx_ring_slot(const tesseltx *t, std::uint64_t seq) {
  return &t->buffer[tx_ring_index(t, seq)];
}

// The transmission's resend entry for slice `seq`.
inline tx_slice &tr_resend_entry(const transmission *tr, std::uint64_t seq) {
  return tr->slice[tx_ring_index(tr->t, seq)];
}
