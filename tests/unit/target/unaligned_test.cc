// Every parser of datagrams from the wire reads its fields at whatever address the datagram
// lands: the same bytes at each offset from an 8-byte boundary must give the same result. The
// target's CPU traps on a misaligned multi-byte load; the sanitizer build reports one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "info.h"
#include "rx_parse.h"
#include "tun_proto.h"

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t version = 7;

void put_le64(bytes &b, std::size_t at, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) {
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

bytes header(std::size_t size, std::uint8_t type_byte) {
  bytes b(size, 0);
  b[0] = 0x48;
  b[1] = 0x21;
  b[2] = 0x47;
  b[3] = 0x20;
  b[4] = version;
  b[5] = type_byte;
  return b;
}

// A data packet with n TS packets in the plain layout, or the FEC layout with `fec_seq`.
bytes data_packet(std::uint64_t seq, unsigned n, bool fec, std::uint64_t fec_seq = 0) {
  const std::size_t slice_at = fec ? 32 : 24;
  bytes b = header(slice_at + 28 + 188 * n, fec ? 0x40 : 0x00);
  put_le64(b, 8, 7);
  put_le64(b, 16, 9);
  if (fec) {
    put_le64(b, 24, fec_seq);
  }
  put_le64(b, slice_at, seq);
  put_le64(b, slice_at + 8, 2147483650u);
  put_le64(b, slice_at + 16, 123456789);
  b[slice_at + 24] = static_cast<std::uint8_t>(n);
  for (std::size_t k = 0; k < 188 * n; ++k) {
    b[slice_at + 25 + k] = static_cast<std::uint8_t>(k * 7 + 3);
  }
  return b;
}

bytes ping_reply(std::uint64_t seq) {
  bytes b = header(48, 0x02);
  put_le64(b, 8, seq);
  put_le64(b, 16, 1);
  put_le64(b, 24, 2);
  put_le64(b, 32, 4294967301u);
  put_le64(b, 40, 17);
  return b;
}

// The datagram copied to `offset` bytes past an 8-byte boundary.
struct placed {
  alignas(8) std::uint8_t storage[tun_rx_buffer_size + 16];
  std::span<const std::uint8_t> at(const bytes &d, std::size_t offset) {
    std::copy(d.begin(), d.end(), storage + offset);
    return {storage + offset, d.size()};
  }
};

struct parsed {
  rx_reject reject;
  rx_packet p;
};

parsed parse_at(const bytes &d, std::size_t offset, placed &buf) {
  parsed r{};
  r.reject = rx_parse_datagram(buf.at(d, offset), version, &r.p);
  return r;
}

TEST(Unaligned, ReceiverParsesEveryKindAtEveryOffset) {
  struct row {
    const char *name;
    bytes datagram;
  };
  const row rows[] = {
      {"data", data_packet(0x1122334455667788u, 7, false)},
      {"data in the FEC layout", data_packet(0x0102030405060708u, 3, true, 0x8877665544332211u)},
      {"ping reply", ping_reply(0xA1A2A3A4A5A6A7A8u)},
  };
  for (const row &r : rows) {
    placed buf{};
    const parsed aligned = parse_at(r.datagram, 0, buf);
    ASSERT_EQ(aligned.reject, rx_reject::none) << r.name;
    const rx_packet want = aligned.p;
    const bytes want_ts(want.ts.begin(), want.ts.end());
    for (std::size_t offset = 1; offset < 8; ++offset) {
      placed other{};
      const parsed got = parse_at(r.datagram, offset, other);
      ASSERT_EQ(got.reject, rx_reject::none) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.kind, want.kind) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.seq, want.seq) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.fec_seq, want.fec_seq) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.slice_time_ns, want.slice_time_ns) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.ts_packets, want.ts_packets) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.ping_seq, want.ping_seq) << r.name << " at +" << offset;
      EXPECT_EQ(got.p.ping_src_ns, want.ping_src_ns) << r.name << " at +" << offset;
      EXPECT_EQ(bytes(got.p.ts.begin(), got.p.ts.end()), want_ts) << r.name << " at +" << offset;
    }
  }
}

TEST(Unaligned, FieldsOfTheAlignedParseAreTheOnesWritten) {
  placed buf{};
  const parsed d = parse_at(data_packet(0x1122334455667788u, 2, true, 0x8877665544332211u), 3, buf);
  ASSERT_EQ(d.reject, rx_reject::none);
  EXPECT_EQ(d.p.seq, 0x1122334455667788u);
  EXPECT_EQ(d.p.fec_seq, 0x8877665544332211u);
  EXPECT_EQ(d.p.slice_time_ns, INT64_C(2147483650123456789));
  EXPECT_EQ(d.p.ts_packets, 2u);
  const parsed p = parse_at(ping_reply(0xA1A2A3A4A5A6A7A8u), 5, buf);
  ASSERT_EQ(p.reject, rx_reject::none);
  EXPECT_EQ(p.p.ping_seq, 0xA1A2A3A4A5A6A7A8u);
  EXPECT_EQ(p.p.ping_src_ns, INT64_C(4294967301000000017));
}

TEST(Unaligned, TransmittersChecksAndInfoCodecAtEveryOffset) {
  tun_info own;
  own.node_no = 0x91; // one byte each on the wire
  own.endpoint_no = 0x17;
  own.cluster_name = "cluster";
  own.description = "a description long enough to need more than one cache line of bytes";
  const bytes info = tun_prepare_info_packet(&own, version);
  bytes request = header(8 + 3 * 8, TUN_REQUEST);
  put_le64(request, 8, 0x0102030405060708u);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    placed buf{};
    EXPECT_EQ(tun_check_rx_packet(buf.at(request, offset), version), tun_rx_check::accept) << "+" << offset;
    tun_info got;
    EXPECT_EQ(tun_receive_info_packet(&got, buf.at(info, offset)), 1) << "+" << offset;
    EXPECT_EQ(got.node_no, own.node_no) << "+" << offset;
    EXPECT_EQ(got.endpoint_no, own.endpoint_no) << "+" << offset;
    EXPECT_EQ(got.cluster_name, own.cluster_name) << "+" << offset;
    EXPECT_EQ(got.description, own.description) << "+" << offset;
  }
}

} // namespace
