// Builders for the datagrams a transmitter sends, written byte by byte from the wire layout so
// that the receiver is checked against the layout and not against its own reading of it.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <vector>

using bytes = std::vector<std::uint8_t>;

void put_le64(bytes &b, std::size_t at, std::uint64_t v);

// TUN_DATA/TUN_DATA_RESENT in the plain layout (52 + 188n bytes) or, with `fec_seq` given, in
// the FEC layout (60 + 188n). TS byte k of the slice is (fill + k) & 0xFF.
bytes make_data(std::uint64_t seq, unsigned n, std::int64_t time_sec, std::int64_t time_nsec,
                std::uint8_t fill = 0, std::uint8_t type = 0x00, std::uint8_t version = 7, bool fec = false,
                std::uint64_t fec_seq = 0);

bytes make_ping_reply(std::uint64_t seq, std::int64_t src_sec, std::int64_t src_nsec, std::uint8_t version = 7);

sockaddr_in loopback(std::uint16_t port);
