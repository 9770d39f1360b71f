#include "rx_test_util.h"

#include <arpa/inet.h>

void put_le64(bytes &b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

bytes make_data(std::uint64_t seq, unsigned n, std::int64_t time_sec, std::int64_t time_nsec, std::uint8_t fill,
                std::uint8_t type, std::uint8_t version, bool fec, std::uint64_t fec_seq) {
  const std::size_t slice_at = fec ? 32 : 24;
  bytes b(slice_at + 28 + 188 * n, 0xEE);
  b[0] = 0x48;
  b[1] = 0x21;
  b[2] = 0x47;
  b[3] = 0x20;
  b[4] = version;
  b[5] = static_cast<std::uint8_t>(type | (fec ? 0x40 : 0));
  b[6] = 0;
  b[7] = 0;
  put_le64(b, 8, 111);  // departure time: not read
  put_le64(b, 16, 222);
  if (fec) {
    put_le64(b, 24, fec_seq);
  }
  put_le64(b, slice_at, seq);
  put_le64(b, slice_at + 8, static_cast<std::uint64_t>(time_sec));
  put_le64(b, slice_at + 16, static_cast<std::uint64_t>(time_nsec));
  b[slice_at + 24] = static_cast<std::uint8_t>(n);
  for (std::size_t k = 0; k < 188 * n; ++k) {
    b[slice_at + 25 + k] = static_cast<std::uint8_t>(fill + k);
  }
  return b;
}

bytes make_ping_reply(std::uint64_t seq, std::int64_t src_sec, std::int64_t src_nsec, std::uint8_t version) {
  bytes b(48, 0);
  b[0] = 0x48;
  b[1] = 0x21;
  b[2] = 0x47;
  b[3] = 0x20;
  b[4] = version;
  b[5] = 0x02;
  put_le64(b, 8, seq);
  put_le64(b, 16, 5);
  put_le64(b, 24, 0);
  put_le64(b, 32, static_cast<std::uint64_t>(src_sec));
  put_le64(b, 40, static_cast<std::uint64_t>(src_nsec));
  return b;
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}
