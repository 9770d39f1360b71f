// Forward error correction of a transmission: every data packet's slice image is added to a
// parity accumulator, and after each group of `fec` - 1 data packets the parity goes out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tesseltx.h"

// True when the transmission's next packet must be the parity of the group just sent.
inline bool tr_fec_due(const transmission *tr) {
  const tesseltx *t = tr->t;
  return t->fec >= 2 && tr->fec.seq % t->fec == static_cast<std::uint64_t>(t->fec - 1);
}

// Adds a slice image (28 + 188 n bytes) to the parity accumulator.
void tr_fec_xor(transmission *tr, const std::uint8_t *image, std::size_t len, unsigned n);

// Builds the parity packet in the transmission's `packet`, clears the accumulator and returns
// the packet's length.
std::size_t tr_fec_build(transmission *tr);
