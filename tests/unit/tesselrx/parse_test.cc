#include <gtest/gtest.h>

#include <memory>

#include "rx_parse.h"
#include "rx_test_util.h"

namespace {

rx_reject parse(const bytes &b, rx_packet *p, std::uint8_t version = 7) {
  return rx_parse_datagram(std::span<const std::uint8_t>(b.data(), b.size()), version, p);
}

TEST(RxParse, PlainDataPacketGivesSliceFields) {
  const bytes b = make_data(42, 7, 12, 345, 9);
  ASSERT_EQ(b.size(), 1368u);
  rx_packet p;
  ASSERT_EQ(parse(b, &p), rx_reject::none);
  EXPECT_EQ(p.kind, rx_kind::data);
  EXPECT_FALSE(p.fec_layout);
  EXPECT_EQ(p.seq, 42u);
  EXPECT_EQ(p.slice_time_ns, 12 * 1000000000LL + 345);
  EXPECT_EQ(p.ts_packets, 7u);
  ASSERT_EQ(p.ts.size(), 1316u);
  EXPECT_EQ(p.ts.data(), b.data() + 49);
  EXPECT_EQ(p.ts[0], 9);
  EXPECT_EQ(p.ts[1315], static_cast<std::uint8_t>(9 + 1315));
  EXPECT_FALSE(p.encrypted);
  bytes enc = b;
  enc[48] = 0x87;
  ASSERT_EQ(parse(enc, &p), rx_reject::none);
  EXPECT_TRUE(p.encrypted);
  EXPECT_EQ(p.ts_packets, 7u);
}

TEST(RxParse, FecLayoutDataAndResentCarryTheSameSlice) {
  const bytes b = make_data(7, 3, 1, 0, 0, 0x01, 7, true, 99);
  ASSERT_EQ(b.size(), 60u + 3 * 188);
  rx_packet p;
  ASSERT_EQ(parse(b, &p), rx_reject::none);
  EXPECT_EQ(p.kind, rx_kind::data);
  EXPECT_EQ(p.type, 0x01);
  EXPECT_TRUE(p.fec_layout);
  EXPECT_EQ(p.fec_seq, 99u);
  EXPECT_EQ(p.seq, 7u);
  EXPECT_EQ(p.ts.data(), b.data() + 57);
  EXPECT_EQ(p.ts.size(), 3u * 188);
}

TEST(RxParse, EmptySliceIsFiftyTwoBytesAndAccepted) {
  const bytes b = make_data(1, 0, 0, 0);
  ASSERT_EQ(b.size(), 52u);
  rx_packet p;
  ASSERT_EQ(parse(b, &p), rx_reject::none);
  EXPECT_EQ(p.ts_packets, 0u);
  EXPECT_TRUE(p.ts.empty());
}

TEST(RxParse, FillerBytesAreNotRequired) {
  bytes b = make_data(5, 2, 0, 0);
  b.resize(b.size() - 3);
  rx_packet p;
  EXPECT_EQ(parse(b, &p), rx_reject::none);
  b.pop_back(); // now a TS byte is missing
  EXPECT_EQ(parse(b, &p), rx_reject::malformed);
}

TEST(RxParse, HeaderChecksInOrder) {
  rx_packet p;
  bytes reversed = make_data(1, 1, 0, 0);
  reversed[0] = 0x20;
  reversed[1] = 0x47;
  reversed[2] = 0x21;
  reversed[3] = 0x48;
  EXPECT_EQ(parse(reversed, &p), rx_reject::wrong_magic);
  EXPECT_EQ(parse(bytes{0x48, 0x21, 0x47, 0x20, 7, 0}, &p), rx_reject::wrong_magic); // short header
  EXPECT_EQ(parse(bytes{}, &p), rx_reject::wrong_magic);
  // The version is checked before the type: a v6 ping reply to a v7 receiver.
  EXPECT_EQ(parse(make_ping_reply(1, 0, 0, 6), &p), rx_reject::wrong_version);
  EXPECT_EQ(parse(make_ping_reply(1, 0, 0, 6), &p, 6), rx_reject::none);
  // Types the receiver itself sends, and codes nobody sends, are unknown.
  for (int type : {0x10, 0x11, 0x22, 0x24, 0x04, 0x3F}) {
    bytes b = make_data(1, 1, 0, 0);
    b[5] = static_cast<std::uint8_t>(type);
    EXPECT_EQ(parse(b, &p), rx_reject::unknown_type) << type;
  }
}

TEST(RxParse, ImpossibleSliceFieldsAreMalformed) {
  rx_packet p;
  bytes seq0 = make_data(0, 1, 0, 0);
  EXPECT_EQ(parse(seq0, &p), rx_reject::malformed);
  bytes eight = make_data(1, 7, 0, 0);
  eight[24 + 24] = 8;
  EXPECT_EQ(parse(eight, &p), rx_reject::malformed);
  bytes encrypted_eight = make_data(1, 7, 0, 0);
  encrypted_eight[24 + 24] = 0x88;
  EXPECT_EQ(parse(encrypted_eight, &p), rx_reject::malformed);
  EXPECT_EQ(parse(make_data(1, 1, 0, 1000000000), &p), rx_reject::malformed);
  EXPECT_EQ(parse(make_data(1, 1, -1, 0), &p), rx_reject::malformed);
  EXPECT_EQ(parse(make_data(1, 1, INT64_MAX, 0), &p), rx_reject::malformed);
}

TEST(RxParse, OtherAcceptedTypes) {
  rx_packet p;
  ASSERT_EQ(parse(make_ping_reply(3, 4, 5), &p), rx_reject::none);
  EXPECT_EQ(p.kind, rx_kind::ping_reply);
  EXPECT_EQ(p.ping_seq, 3u);
  EXPECT_EQ(p.ping_src_ns, 4000000005);
  bytes short_ping = make_ping_reply(3, 4, 5);
  short_ping.pop_back();
  EXPECT_EQ(parse(short_ping, &p), rx_reject::malformed);

  bytes fec = make_data(0, 2, 0, 0, 0, 0x03, 7, true, 5);
  fec[6] = 2;
  ASSERT_EQ(parse(fec, &p), rx_reject::none);
  EXPECT_EQ(p.kind, rx_kind::fec_parity);
  EXPECT_EQ(p.fec_seq, 5u);
  fec[6] = 3; // claims more than the datagram holds
  EXPECT_EQ(parse(fec, &p), rx_reject::malformed);

  bytes info{0x48, 0x21, 0x47, 0x20, 7, 0x20, 0, 0};
  ASSERT_EQ(parse(info, &p), rx_reject::none);
  EXPECT_EQ(p.kind, rx_kind::info);
  info[5] = 0x25;
  ASSERT_EQ(parse(info, &p), rx_reject::none);
  EXPECT_EQ(p.kind, rx_kind::key_reply);
}

// Every prefix of every layout is parsed from a buffer of exactly that size, so that the
// sanitizer build catches any read beyond the datagram.
TEST(RxParse, NoPrefixIsReadPastItsEnd) {
  const bytes samples[] = {make_data(9, 7, 1, 2), make_data(9, 4, 1, 2, 0, 0x01, 7, true, 3),
                           make_ping_reply(1, 2, 3)};
  for (const bytes &full : samples) {
    for (std::size_t len = 0; len <= full.size(); ++len) {
      std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[len ? len : 1]);
      std::copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len), exact.get());
      rx_packet p;
      const rx_reject r = rx_parse_datagram(std::span<const std::uint8_t>(exact.get(), len), 7, &p);
      if (len < full.size() - 3) {
        EXPECT_NE(r, rx_reject::none) << len;
      }
    }
  }
}

} // namespace
