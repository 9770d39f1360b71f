#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "info.h"
#include "tesseltx.h"
#include "tun_proto.h"

namespace {

using bytes = std::vector<uint8_t>;

TEST(Header, InitWritesMagicVersionAndTypeOnly) {
  tun_packet_header h;
  std::memset(&h, 0xEE, sizeof h);
  tun_header_init(&h, 7, TUN_FEC);
  h.fec = 1;
  const uint8_t expect[8] = {0x48, 0x21, 0x47, 0x20, 7, 0x43, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(&h, expect, 8), 0);
  tun_set_body_length(&h, 0x0123);
  EXPECT_EQ(h.size, 0x23);
  EXPECT_EQ(h.id, 0x01);
  EXPECT_EQ(tun_body_length(&h), 0x0123u);
}

TEST(Header, ReceiveChecksInOrder) {
  auto check = [](bytes d) { return tun_check_rx_packet(d, 7); };
  EXPECT_EQ(check({0x48, 0x21, 0x47, 0x20, 7, 0x11, 0, 0}), tun_rx_check::accept);
  EXPECT_EQ(check({0x48, 0x21, 0x47, 0x20, 7, 0x50, 3, 9}), tun_rx_check::accept) << "request with an id";
  EXPECT_EQ(check({0x20, 0x47, 0x21, 0x48, 7, 0x11, 0, 0}), tun_rx_check::wrong_magic);
  EXPECT_EQ(check({0x48, 0x21, 0x47}), tun_rx_check::wrong_magic) << "too short for a header";
  EXPECT_EQ(check({0x48, 0x21, 0x47, 0x20, 6, 0x11, 0, 0}), tun_rx_check::wrong_version);
  EXPECT_EQ(check({0x48, 0x21, 0x47, 0x20, 6, 0x3F, 0, 0}), tun_rx_check::wrong_version)
      << "the version is checked before the type";
  for (uint8_t own : bytes{0x00, 0x01, 0x02, 0x03, 0x23, 0x25, 0x24, 0x12}) {
    EXPECT_EQ(check({0x48, 0x21, 0x47, 0x20, 7, own, 0, 0}), tun_rx_check::unknown_type) << int(own);
  }
  for (uint8_t ok : bytes{0x10, 0x11, 0x20, 0x21, 0x22}) {
    EXPECT_EQ(check({0x48, 0x21, 0x47, 0x20, 7, static_cast<uint8_t>(ok | 0x80), 0, 0}), tun_rx_check::accept);
  }
}

TEST(Time, NormalizeAndTimeout) {
  timespec64 a{1, 2500000000};
  timespec_normalize(&a);
  EXPECT_EQ(a.tv_sec, 3);
  EXPECT_EQ(a.tv_nsec, 500000000);
  timespec64 b{5, -1};
  timespec_normalize(&b);
  EXPECT_EQ(b.tv_sec, 4);
  EXPECT_EQ(b.tv_nsec, 999999999);
  timespec64 c{0, -2500000000};
  timespec_normalize(&c);
  EXPECT_EQ(c.tv_sec, -3);
  EXPECT_EQ(c.tv_nsec, 500000000);

  tesseltx t{};
  timespec64 ts{10, 900000000};
  t.now = {11, 100000000}; // exactly 200 ms later
  EXPECT_EQ(tun_universal_timeout(&t, &ts, 200), 0) << "strictly more than the offset";
  t.now.tv_nsec += 1;
  EXPECT_EQ(tun_universal_timeout(&t, &ts, 200), 1);
  EXPECT_EQ(tun_universal_timeout(&t, &ts, 300000), 0);
}

tun_info info_of(uint64_t node, uint64_t ep, const char *cluster, const char *desc) {
  tun_info i;
  i.node_no = node;
  i.endpoint_no = ep;
  if (cluster) {
    i.cluster_name = cluster;
  }
  if (desc) {
    i.description = desc;
  }
  return i;
}

TEST(InfoPacket, ElementsInOrderNodeEndpointClusterDescription) {
  const tun_info own = info_of(300, 5, "ab", "");
  const bytes pkt = tun_prepare_info_packet(&own, 6);
  const bytes expect = {0x48, 0x21, 0x47, 0x20, 6, 0x20, 12, 0, 1, 1, 44, 3, 1, 5, 2, 2, 'a', 'b', 4, 0};
  EXPECT_EQ(pkt, expect) << "300 travels as 44; an empty description that is set is sent empty";
  const tun_info none{};
  EXPECT_EQ(tun_prepare_info_packet(&none, 7), (bytes{0x48, 0x21, 0x47, 0x20, 7, 0x20, 0, 0}));
  const tun_info n256 = info_of(256, 0, nullptr, nullptr);
  EXPECT_EQ(tun_prepare_info_packet(&n256, 7), (bytes{0x48, 0x21, 0x47, 0x20, 7, 0x20, 3, 0, 1, 1, 0}));
}

TEST(InfoPacket, LongDescriptionUsesTheHighLengthByte) {
  const std::string desc(127, 'd');
  tun_info own = info_of(1, 2, std::string(127, 'c').c_str(), desc.c_str());
  const bytes pkt = tun_prepare_info_packet(&own, 7);
  EXPECT_EQ(pkt.size(), 8u + 3 + 3 + 129 + 129);
  EXPECT_EQ(pkt[6], (264u & 0xFF));
  EXPECT_EQ(pkt[7], 1);
}

TEST(InfoPacket, ReceiveRoundTripAndChangeDetection) {
  const tun_info theirs = info_of(7, 2, "beta", "far end");
  bytes pkt = tun_prepare_info_packet(&theirs, 7);
  tun_info mine{};
  EXPECT_EQ(tun_receive_info_packet(&mine, pkt), 1);
  EXPECT_EQ(mine.node_no, 7u);
  EXPECT_EQ(mine.endpoint_no, 2u);
  EXPECT_EQ(*mine.cluster_name, "beta");
  EXPECT_EQ(*mine.description, "far end");
  EXPECT_EQ(tun_receive_info_packet(&mine, pkt), 0) << "the same packet again changes nothing";
  const tun_info fewer = info_of(7, 2, nullptr, "far end");
  EXPECT_EQ(tun_receive_info_packet(&mine, tun_prepare_info_packet(&fewer, 7)), 1) << "a name that went away";
  EXPECT_FALSE(mine.cluster_name);
  const tun_info empty{};
  EXPECT_EQ(tun_receive_info_packet(&mine, tun_prepare_info_packet(&empty, 7)), 1);
  EXPECT_EQ(tun_receive_info_packet(&mine, tun_prepare_info_packet(&empty, 7)), 0);
}

TEST(InfoPacket, ReaderSkipsUnknownTypesTakesLaterDuplicatesAndUnsignedBytes) {
  bytes body = {1, 1, 200, 9, 3, 'x', 'y', 'z', 2, 3, 'o', 'n', 'e', 2, 3, 't', 'w', 'o', 4, 5, 'a', 0, 'b', 'c', 'd'};
  bytes pkt = {0x48, 0x21, 0x47, 0x20, 7, 0x21, static_cast<uint8_t>(body.size()), 0};
  pkt.insert(pkt.end(), body.begin(), body.end());
  tun_info got{};
  tun_receive_info_packet(&got, pkt);
  EXPECT_EQ(got.node_no, 200u);
  EXPECT_EQ(*got.cluster_name, "two");
  EXPECT_EQ(*got.description, "a") << "a zero byte ends the copy";
}

TEST(InfoPacket, TruncatedBodiesAreReadOnlyAsFarAsReceived) {
  // Claims a 200-byte body and a 50-byte description but only 6 value bytes arrived; a node
  // element at the very end has no value byte at all.
  bytes pkt = {0x48, 0x21, 0x47, 0x20, 7, 0x21, 200, 0, 4, 50, 'h', 'e', 'l', 'l', 'o', '!'};
  tun_info got{};
  tun_receive_info_packet(&got, pkt);
  EXPECT_EQ(*got.description, "hello!");
  bytes tail = {0x48, 0x21, 0x47, 0x20, 7, 0x21, 2, 0, 1, 1};
  tun_info got2{};
  got2.node_no = 9;
  EXPECT_EQ(tun_receive_info_packet(&got2, tail), 1);
  EXPECT_EQ(got2.node_no, 0u);
  // A body length shorter than what arrived ends the walk there.
  bytes shortened = {0x48, 0x21, 0x47, 0x20, 7, 0x21, 3, 0, 1, 1, 5, 3, 1, 6};
  tun_info got3{};
  tun_receive_info_packet(&got3, shortened);
  EXPECT_EQ(got3.node_no, 5u);
  EXPECT_EQ(got3.endpoint_no, 0u);
}

std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(InfoDump, FileNameAndLines) {
  EXPECT_EQ(tun_info_dump_path("tx1"), "/tmp/tuninfo-tx1.txt");
  EXPECT_EQ(tun_info_dump_path("abcdefghijklmnopqrst"), "/tmp/tuninfo-abcdefghijklmnopq");
  const tun_info i = info_of(3, 0, "alpha", nullptr);
  tun_dump_info("unittest-dump", &i);
  EXPECT_EQ(slurp("/tmp/tuninfo-unittest-dump.txt"), "node_no: 3\ncluster_name: alpha\n");
  const tun_info all = info_of(1, 2, "c", "d");
  tun_dump_info("unittest-dump", &all);
  EXPECT_EQ(slurp("/tmp/tuninfo-unittest-dump.txt"), "node_no: 1\ncluster_name: c\nendpoint_no: 2\ndescription: d\n");
  std::remove("/tmp/tuninfo-unittest-dump.txt");
  tun_dump_info("no/such/dir", &all); // skipped silently
}

} // namespace
