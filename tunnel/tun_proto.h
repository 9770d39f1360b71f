// The tunnel's wire protocol: the 8-byte header every datagram starts with, the type codes, the
// packet layouts (checked byte for byte at compile time) and the receive checks. Layouts are
// overlaid on 8-byte aligned packet buffers, so every multi-byte field is naturally aligned;
// all integers are little-endian, which the host is (see slice.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "slice.h"
#include "tun_time.h"

inline constexpr std::uint8_t tun_magic[4] = {0x48, 0x21, 0x47, 0x20}; // "H!G "

enum tun_type : std::uint8_t {
  TUN_DATA = 0x00,
  TUN_DATA_RESENT = 0x01,
  TUN_PING_REPLY = 0x02,
  TUN_FEC = 0x03,
  TUN_REQUEST = 0x10,
  TUN_PING = 0x11,
  TUN_INFO_REQUEST = 0x20,
  TUN_INFO_REPLY = 0x21,
  TUN_AES_REQUEST = 0x22,
  TUN_AES_REPLY = 0x23,
  TUN_AES_REPLY_256 = 0x25,
};

inline constexpr std::uint8_t tun_type_mask = 0x3F;
inline constexpr std::uint8_t tun_fec_bit = 0x40;
inline constexpr std::size_t tun_rx_buffer_size = 2000;

struct tun_packet_header {
  std::uint8_t magic[4];
  std::uint8_t version;
  std::uint8_t type : 6;
  std::uint8_t fec : 1;
  std::uint8_t reserved : 1;
  std::uint8_t size;
  std::uint8_t id;
};
static_assert(sizeof(tun_packet_header) == 8);
static_assert(offsetof(tun_packet_header, version) == 4);
static_assert(offsetof(tun_packet_header, size) == 6);

struct tun_data_packet {
  tun_packet_header h;
  timespec64 departure_time;
  tun_slice slice;
};
static_assert(offsetof(tun_data_packet, departure_time) == 8);
static_assert(offsetof(tun_data_packet, slice) == 24);
static_assert(sizeof(tun_data_packet) == 1368);

struct tun_data_packet_fec {
  tun_packet_header h;
  timespec64 departure_time;
  std::uint64_t seq;
  tun_slice slice;
};
static_assert(offsetof(tun_data_packet_fec, seq) == 24);
static_assert(offsetof(tun_data_packet_fec, slice) == 32);
static_assert(sizeof(tun_data_packet_fec) == 1376);

struct tun_ping_packet {
  tun_packet_header h;
  std::uint64_t seq;
  timespec64 departure_time;
  timespec64 src_time;
};
static_assert(offsetof(tun_ping_packet, seq) == 8);
static_assert(offsetof(tun_ping_packet, departure_time) == 16);
static_assert(offsetof(tun_ping_packet, src_time) == 32);
static_assert(sizeof(tun_ping_packet) == 48);

inline constexpr std::size_t tun_request_max_seqs = (tun_rx_buffer_size - sizeof(tun_packet_header)) / 8;
struct tun_request_packet {
  tun_packet_header h;
  std::uint64_t seqs[tun_request_max_seqs];
};
static_assert(offsetof(tun_request_packet, seqs) == 8);
static_assert(tun_request_max_seqs == 249);

// Any datagram of the protocol, as it lands in or leaves from a 2000-byte packet buffer.
// Reading a member other than the one last written is how the receive path views a datagram;
// GCC defines such type punning through a union.
union tun_packet_buffer {
  std::uint8_t raw[tun_rx_buffer_size];
  tun_packet_header h;
  tun_data_packet data;
  tun_data_packet_fec data_fec;
  tun_ping_packet ping;
  tun_request_packet request;
};
static_assert(sizeof(tun_packet_buffer) == 2000);
static_assert(alignof(tun_packet_buffer) == 8);

// Wire lengths.
constexpr std::size_t tun_data_len(unsigned n) {
  return 52 + ts_packet_size * n;
}
constexpr std::size_t tun_data_fec_len(unsigned n) {
  return 60 + ts_packet_size * n;
}
inline constexpr std::size_t tun_ping_len = 48;

// Writes magic and version, clears the fec and reserved bits, and sets the type. Bytes 6 and 7
// are left alone: only some types give them a meaning.
inline void tun_header_init(tun_packet_header *h, std::uint8_t version, std::uint8_t type) {
  h->magic[0] = tun_magic[0];
  h->magic[1] = tun_magic[1];
  h->magic[2] = tun_magic[2];
  h->magic[3] = tun_magic[3];
  h->version = version;
  h->type = type & tun_type_mask;
  h->fec = 0;
  h->reserved = 0;
}

// Info and key-exchange packets carry their body length in bytes 6 (low) and 7 (high).
inline std::size_t tun_body_length(const tun_packet_header *h) {
  return static_cast<std::size_t>(h->size) + 256u * h->id;
}
inline void tun_set_body_length(tun_packet_header *h, std::size_t len) {
  h->size = static_cast<std::uint8_t>(len & 0xFF);
  h->id = static_cast<std::uint8_t>((len >> 8) & 0xFF);
}

inline bool tun_has_magic(std::span<const std::uint8_t> datagram) {
  return datagram.size() >= 4 && datagram[0] == tun_magic[0] && datagram[1] == tun_magic[1] &&
         datagram[2] == tun_magic[2] && datagram[3] == tun_magic[3];
}

// Outcome of the transmitter's receive checks, in the order they are made.
enum class tun_rx_check { accept, wrong_magic, wrong_version, unknown_type };

// Checks a datagram that reached a transmission: magic, then the exact protocol version, then a
// type the receiver may send (request, ping, info request/reply, key request). A datagram too
// short to hold a header fails the magic check.
tun_rx_check tun_check_rx_packet(std::span<const std::uint8_t> datagram, std::uint8_t version);
