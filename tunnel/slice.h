// A slot of the slice ring. Its bytes, copied as they stand, are the slice image that data
// packets carry, so the layout is fixed here and checked at compile time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "tun_time.h"

static_assert(std::endian::native == std::endian::little, "wire images assume a little-endian host");

inline constexpr std::size_t ts_packet_size = 188;
inline constexpr std::size_t slice_max_packets = 7;
inline constexpr std::size_t slice_payload_max = ts_packet_size * slice_max_packets; // 1316

struct tun_slice {
  std::uint64_t seq;
  timespec64 time;
  std::uint8_t size : 7;      // whole TS packets in udp_data
  std::uint8_t encrypted : 1; // udp_data holds ciphertext
  std::uint8_t udp_data[slice_payload_max];
  // three trailing bytes of padding complete the 28 + 188*n image of a full slice
};
static_assert(offsetof(tun_slice, seq) == 0);
static_assert(offsetof(tun_slice, time) == 8);
static_assert(offsetof(tun_slice, udp_data) == 25);
static_assert(sizeof(tun_slice) == 1344);

// Bytes of the wire image of a slice holding n TS packets.
constexpr std::size_t tun_slice_image_size(unsigned n) {
  return 28 + ts_packet_size * n;
}
