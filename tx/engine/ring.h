// The slice ring's addressing: a slice number's slot, in the ring and in each transmission's
// resend table, which are the same size (a power of two).
#pragma once

#include <cstdint>

#include "tesseltx.h"

inline std::uint64_t tx_ring_index(const tesseltx *t, std::uint64_t seq) {
  return seq & (static_cast<std::uint64_t>(t->buff_size) - 1);
}

// The ring slot that holds (or will hold) slice `seq`.
inline tun_slice *tx_ring_slot(const tesseltx *t, std::uint64_t seq) {
  return &t->buffer[tx_ring_index(t, seq)];
}

// The transmission's resend entry for slice `seq`.
inline tx_slice &tr_resend_entry(const transmission *tr, std::uint64_t seq) {
  return tr->slice[tx_ring_index(tr->t, seq)];
}
