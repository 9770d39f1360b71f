// The receiver's view of one datagram from the transmitter: the checks every datagram passes
// (magic, protocol version, a type the transmitter sends, lengths and field ranges) and the
// fields of each accepted type, read with byte copies so that no multi-byte field is accessed
// at an address that may be unaligned. Nothing here keeps state or reads past the datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tun_proto.h"

// Why a datagram was refused; `none` for an accepted one.
enum class rx_reject : std::uint8_t {
  none,
  wrong_magic,   // shorter than a header, or not starting with the magic
  wrong_version, // another protocol version than the one configured
  unknown_type,  // a type the transmitter never sends (including the receiver's own)
  malformed,     // an accepted type whose body is short or holds impossible values
};

enum class rx_kind : std::uint8_t {
  data,        // TUN_DATA or TUN_DATA_RESENT, either layout
  fec_parity,  // TUN_FEC
  ping_reply,  // TUN_PING_REPLY
  info,        // TUN_INFO_REQUEST or TUN_INFO_REPLY
  key_reply,   // TUN_AES_REPLY or TUN_AES_REPLY_256
};

// Longest wire time accepted, in seconds: keeps every conversion to nanoseconds inside int64.
inline constexpr std::int64_t rx_time_sec_max = std::int64_t{1} << 33;

struct rx_packet {
  rx_kind kind = rx_kind::data;
  std::uint8_t type = 0;     // the header's type code
  bool fec_layout = false;   // data in the FEC layout (and every parity packet)
  // data and parity
  std::uint64_t seq = 0;        // slice number (data) or 0 for parity
  std::uint64_t fec_seq = 0;    // position in the FEC stream (FEC layout only)
  std::int64_t slice_time_ns = 0; // transmitter's clock when its input took the slice in
  unsigned ts_packets = 0;      // n
  bool encrypted = false;       // `ts` is AES-CTR ciphertext
  std::span<const std::uint8_t> ts; // the 188*n stream bytes, inside the datagram
  // ping reply
  std::uint64_t ping_seq = 0;
  std::int64_t ping_src_ns = 0; // our own departure time, echoed
};

// Checks `datagram` against protocol `version` and fills `out` for an accepted one. A data
// packet must hold every byte of its slice's TS packets (the three filler bytes may be
// missing), a slice number other than 0, at most 7 TS packets and a normalised time.
rx_reject rx_parse_datagram(std::span<const std::uint8_t> datagram, std::uint8_t version, rx_packet *out);

// Nanoseconds of a wire time stamp at `bytes` (16 bytes), or false when it is not normalised
// or out of range.
bool rx_read_time(const std::uint8_t *bytes, std::int64_t *ns);
