// Rebuilding a lost data packet from its group's parity packet. It keeps the slice images of
// the latest packets in FEC layout by their FEC position (data and parity alike), learns the
// group length from where parity packets stand, and when a group's parity and all but one of
// its data packets are present, gives back the missing slice image: the XOR of the parity
// image with the others, each zero-extended to the parity's length. The store is allocated
// once; a group whose packets were seen incomplete or inconsistent is never rebuilt.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "slice.h"

// Positions held: groups of up to 256 packets, with room for reordering around them.
inline constexpr std::uint64_t rx_fec_positions = 1024;

enum class rx_fec_kind : std::uint8_t { none, data, parity, spent, unusable };

struct rx_fec_entry {
  std::uint64_t pos = 0;
  std::uint16_t len = 0; // image bytes
  rx_fec_kind kind = rx_fec_kind::none;
  std::uint8_t image[sizeof(tun_slice)];
};

struct rx_fec_stats {
  std::uint64_t rebuilt = 0; // images given back
};

struct rx_fec {
  std::unique_ptr<rx_fec_entry[]> store;
  std::uint64_t group = 0; // G: data packets + 1; 0 until a parity packet has been seen
  bool parity_seen = false;
  std::uint64_t last_parity = 0;
  rx_fec_stats stat;
};

bool rx_fec_init(rx_fec *f);

// Forgets every position: a new transmitter (or a new socket of it) counts positions afresh.
void rx_fec_reset(rx_fec *f);

// A data packet at FEC position `pos`; `image` is its slice image as received, whose
// `expected` bytes (28 + 188 n) must all be there for it to take part in a rebuild.
void rx_fec_data(rx_fec *f, std::uint64_t pos, std::span<const std::uint8_t> image, std::size_t expected);

// A parity packet at `pos` whose image holds `n` TS packets' worth (28 + 188 n bytes).
void rx_fec_parity(rx_fec *f, std::uint64_t pos, std::span<const std::uint8_t> image, unsigned n);

// Tries the group of position `pos`. On success writes the missing image into `out` (room for
// a whole tun_slice), its length into `len`, and returns true; the group is then spent.
bool rx_fec_rebuild(rx_fec *f, std::uint64_t pos, std::uint8_t *out, std::size_t *len);
