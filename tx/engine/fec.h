// Forward error correction of a transmission: every data packet's slice image is added to a
// parity accumulator, and after each group of `fec` - 1 data packets the parity goes out.
#pragma once

#include <cstddef>
#include <cstdint>

struct transmission;

// True when the transmission's next packet must be the parity of the group just sent.
bool tr_fec_due(const transmission *tr);

// Adds a slice image (28 + 188 n bytes) to the parity accumulator.
void tr_fec_xor(transmission *tr, const std::uint8_t *image, std::size_t len, unsigned n);

// Builds the parity packet in the transmission's `packet`, clears the accumulator and returns
// the packet's length.
std::size_t tr_fec_build(transmission *tr);
