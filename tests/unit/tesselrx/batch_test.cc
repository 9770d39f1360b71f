// Reading in batches: the merge hands a round's datagrams over in the order they were sent (by
// slice number across ports, everything else in its place within its port), whatever the
// datagrams hold; and a batch read takes a socket's queue and its sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <limits>
#include <netinet/udp.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "rx_batch.h"
#include "rx_io.h"
#include "rx_test_util.h"

namespace {

// A datagram of the test and the tag that tells it apart in the merged order.
struct item {
  bytes datagram;
  std::uint16_t tag;
};

bytes data(std::uint64_t seq, std::uint8_t type = 0x00, bool fec = false) {
  return make_data(seq, 1, 1, 0, 0, type, 7, fec, seq);
}

bytes header_only(std::uint8_t type) {
  return {0x48, 0x21, 0x47, 0x20, 7, type, 0, 0};
}

bytes parity() {
  bytes b = make_data(1, 1, 0, 0, 0, 0x03, 7, true, 99);
  b[6] = 1; // TS packets in the parity image
  return b;
}

// Fills one round: `ports[p]` is what port p read, one datagram per read, in order. Each
// datagram's source port is its tag.
void fill(rx_batch_pass *pass, const std::vector<std::vector<item>> &ports) {
  ASSERT_TRUE(rx_batch_init(pass, ports.size()));
  for (std::size_t p = 0; p < ports.size(); ++p) {
    ASSERT_LE(ports[p].size(), pass->per_port);
    rx_batch_prepare(pass, p);
    for (std::size_t i = 0; i < ports[p].size(); ++i) {
      const std::size_t s = p * pass->per_port + i;
      if (!ports[p][i].datagram.empty()) {
        std::memcpy(pass->iov[s].iov_base, ports[p][i].datagram.data(), ports[p][i].datagram.size());
      }
      pass->msgs[s].msg_len = static_cast<unsigned>(ports[p][i].datagram.size());
      pass->msgs[s].msg_hdr.msg_controllen = 0;
      pass->from[s] = loopback(ports[p][i].tag);
    }
    ASSERT_EQ(rx_batch_split(pass, p, ports[p].size()), ports[p].size());
  }
}

// The tags in merged order; checks that the datagram handed over is the one that was read.
std::vector<std::uint16_t> merged(rx_batch_pass *pass, const std::vector<std::vector<item>> &ports) {
  const std::size_t n = rx_batch_merge(pass);
  std::vector<std::uint16_t> tags;
  for (std::size_t i = 0; i < n; ++i) {
    const rx_batch_ref r = pass->order[i];
    const std::span<const std::uint8_t> d = rx_batch_datagram(pass, r.port, r.index);
    const bytes &want = ports.at(r.port).at(r.index).datagram;
    EXPECT_TRUE(std::equal(d.begin(), d.end(), want.begin(), want.end()));
    tags.push_back(ntohs(rx_batch_source(pass, r.port, r.index).sin_port));
  }
  return tags;
}

// Every datagram once, and each port's own order kept.
void expect_interleaving(const std::vector<std::uint16_t> &tags,
                         const std::vector<std::vector<item>> &ports) {
  std::size_t total = 0;
  for (const auto &port : ports) {
    total += port.size();
    std::size_t at = 0;
    for (const item &it : port) {
      const auto found = std::find(tags.begin() + static_cast<std::ptrdiff_t>(at), tags.end(), it.tag);
      ASSERT_NE(found, tags.end()) << "tag " << it.tag << " missing or out of its port's order";
      at = static_cast<std::size_t>(found - tags.begin()) + 1;
    }
  }
  EXPECT_EQ(tags.size(), total);
}

TEST(RxBatch, RoundRobinSendingIsRestoredForOneToSixteenPorts) {
  for (std::size_t k = 1; k <= 16; ++k) {
    rx_batch_pass pass;
    ASSERT_TRUE(rx_batch_init(&pass, k));
    // A full batch on the first ports, the last ones a little short (the round the queue ran dry).
    const std::size_t slices = k * pass.per_port - (k > 2 ? 2 : 0);
    std::vector<std::vector<item>> ports(k);
    for (std::size_t s = 0; s < slices; ++s) {
      ports[s % k].push_back({data(1000 + s, 0x00, s % 3 == 0), static_cast<std::uint16_t>(s)});
    }
    fill(&pass, ports);
    const std::vector<std::uint16_t> tags = merged(&pass, ports);
    ASSERT_EQ(tags.size(), slices) << k << " ports";
    for (std::size_t s = 0; s < slices; ++s) {
      ASSERT_EQ(tags[s], s) << k << " ports";
    }
  }
}

TEST(RxBatch, SliceNumbersOrderAcrossPortsAndEverythingElseKeepsItsPlace) {
  constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
  bytes plain_cut = data(50);
  plain_cut.resize(31); // one byte short of the slice number
  bytes fec_cut = data(50, 0x00, true);
  fec_cut.resize(39);
  bytes wrong_magic = data(1); // would go first if its number were believed
  wrong_magic[0] ^= 0xFF;
  struct mixed_case {
    const char *name;
    std::vector<std::vector<item>> ports;
    std::vector<std::uint16_t> order;
  };
  const std::vector<mixed_case> cases = {
      {"numbers wrap past the top",
       {{{data(top - 2), 1}, {data(top), 3}, {data(1), 5}}, {{data(top - 1), 2}, {data(0), 4}, {data(2), 6}}},
       {1, 2, 3, 4, 5, 6}},
      {"a duplicate goes by port",
       {{{data(10), 1}, {data(12), 4}}, {{data(11), 2}}, {{data(11), 3}, {data(13), 5}}},
       {1, 2, 3, 4, 5}},
      {"resent slices go by their own number",
       {{{data(20), 2}, {data(22), 5}},
        {{data(5, 0x01), 1}, {data(21), 3}, {data(7, 0x01, true), 4}, {data(23), 6}}},
       {1, 2, 3, 4, 5, 6}},
      {"packets without a number follow the one before them in their port",
       {{{data(1), 2}, {parity(), 3}, {data(3), 6}},
        {{make_ping_reply(9, 1, 0), 1}, {data(2), 4}, {header_only(0x23), 5}, {data(4), 7}},
        {{header_only(0x21), 0}, {header_only(0x25), 0}}},
       {1, 0, 0, 2, 3, 4, 5, 6, 7}},
      {"short and foreign datagrams are passed on in their place",
       {{{data(100), 1}, {bytes{}, 2}, {data(102), 5}, {plain_cut, 6}},
        {{bytes{0x48, 0x21}, 3}, {data(101), 4}, {fec_cut, 5}, {wrong_magic, 6}, {data(103), 7}}},
       {3, 1, 2, 4, 5, 6, 5, 6, 7}},
      {"an empty batch between full ones", {{{data(7), 1}, {data(9), 3}}, {}, {{data(8), 2}}}, {1, 2, 3}},
      {"every batch empty", {{}, {}, {}}, {}},
  };
  for (const mixed_case &c : cases) {
    rx_batch_pass pass;
    fill(&pass, c.ports);
    std::vector<std::uint16_t> tags = merged(&pass, c.ports);
    // The two untagged packets of port 2 share tag 0; only their count and place matter.
    EXPECT_EQ(tags, c.order) << c.name;
    expect_interleaving(tags, c.ports);
  }
}

TEST(RxBatch, HostileNumbersStillGiveEveryDatagramOnceInPortOrder) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 50; ++trial) {
    const std::size_t k = 1 + rng() % 16;
    rx_batch_pass pass;
    ASSERT_TRUE(rx_batch_init(&pass, k));
    std::vector<std::vector<item>> ports(k);
    std::uint16_t tag = 0;
    for (std::size_t p = 0; p < k; ++p) {
      const auto n = static_cast<std::size_t>(rng() % (pass.per_port + 1));
      for (std::size_t i = 0; i < n; ++i) {
        bytes d;
        switch (rng() % 4) {
        case 0:
          d = data(rng(), 0x00, rng() % 2 == 0);
          break; // anywhere in the number space
        case 1:
          d = data(rng() % 8, 0x01);
          break;
        case 2:
          d = bytes(static_cast<std::size_t>(rng() % 40), static_cast<std::uint8_t>(rng()));
          break;
        default:
          d = parity();
          break;
        }
        ports[p].push_back({d, tag++});
      }
    }
    fill(&pass, ports);
    expect_interleaving(merged(&pass, ports), ports);
  }
}

TEST(RxBatch, KeyIsTheSliceNumberOfDataInEitherLayout) {
  struct key_case {
    const char *name;
    bytes datagram;
    bool keyed;
    std::uint64_t key;
  };
  bytes plain_min = data(0x1122334455667788);
  plain_min.resize(32);
  bytes fec_min = data(0x0102030405060708, 0x01, true);
  fec_min.resize(40);
  const std::vector<key_case> cases = {
      {"new, plain", data(77), true, 77},
      {"resent, FEC layout", data(78, 0x01, true), true, 78},
      {"plain cut after the number", plain_min, true, 0x1122334455667788},
      {"FEC cut after the number", fec_min, true, 0x0102030405060708},
      {"parity", parity(), false, 0},
      {"ping reply", make_ping_reply(5, 1, 0), false, 0},
      {"wrong magic", bytes(60, 0), false, 0},
      {"header only", header_only(0x00), false, 0},
  };
  for (const key_case &c : cases) {
    std::uint64_t key = 0;
    EXPECT_EQ(rx_batch_key(c.datagram, &key), c.keyed) << c.name;
    if (c.keyed) {
      EXPECT_EQ(key, c.key) << c.name;
    }
  }
}

// A coalesced read is cut at the segment size the kernel reports with it; a segment the
// buffer cut short, and segments beyond what a port's batch holds, are dropped and counted.
TEST(RxBatch, ACoalescedReadIsCutIntoItsDatagrams) {
  struct split_case {
    const char *name;
    std::vector<std::size_t> lengths; // of the reads
    int segment;                      // reported with the first read; 0: none
    bool truncated;
    std::vector<std::size_t> datagrams;
    std::uint64_t dropped;
  };
  const std::size_t most = sizeof(tun_packet_buffer);
  const std::vector<split_case> cases = {
      {"even run", {4 * 1348}, 1348, false, {1348, 1348, 1348, 1348}, 0},
      {"shorter last", {2 * 1348 + 616}, 1348, false, {1348, 1348, 616}, 0},
      {"cut by the buffer", {2 * 1348 + 616}, 1348, true, {1348, 1348}, 1},
      {"segment as long as the read", {1348}, 1348, false, {1348}, 0},
      {"plain reads, one empty", {8, 0, 1368}, 0, false, {8, 0, 1368}, 0},
      {"longer than a tunnel packet", {5000}, 0, false, {most}, 0},
      {"tiny segments beyond the batch", {8 * rx_batch_segments_max * 4 + 4}, 4, false, {}, 1},
  };
  for (const split_case &c : cases) {
    rx_batch_pass pass;
    ASSERT_TRUE(rx_batch_init(&pass, 16)); // 8 reads a port
    rx_batch_prepare(&pass, 3);
    const std::size_t first = 3 * pass.per_port;
    for (std::size_t r = 0; r < c.lengths.size(); ++r) {
      mmsghdr &m = pass.msgs[first + r];
      m.msg_len = static_cast<unsigned>(c.lengths[r]);
      for (std::size_t b = 0; b < c.lengths[r]; ++b) {
        static_cast<std::uint8_t *>(pass.iov[first + r].iov_base)[b] = static_cast<std::uint8_t>(b / 7 + r);
      }
      m.msg_hdr.msg_controllen = 0;
      if (r == 0 && c.segment != 0) {
        m.msg_hdr.msg_controllen = CMSG_SPACE(sizeof(int));
        cmsghdr *cm = CMSG_FIRSTHDR(&m.msg_hdr);
        cm->cmsg_level = SOL_UDP;
        cm->cmsg_type = UDP_GRO;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cm), &c.segment, sizeof c.segment);
      }
      m.msg_hdr.msg_flags = c.truncated ? MSG_TRUNC : 0;
    }
    const std::size_t n = rx_batch_split(&pass, 3, c.lengths.size());
    std::vector<std::size_t> lengths;
    std::size_t read = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::span<const std::uint8_t> d = rx_batch_datagram(&pass, 3, i);
      if (i > 0 && pass.views[3 * pass.views_per_port + i].read != pass.views[3 * pass.views_per_port + i - 1].read) {
        read++;
        at = 0;
      }
      if (!d.empty()) {
        EXPECT_EQ(d[0], static_cast<std::uint8_t>(at / 7 + read)) << c.name << ": datagram " << i << " starts where it should";
      }
      at += d.size();
      lengths.push_back(d.size());
    }
    if (c.datagrams.empty()) {
      EXPECT_EQ(n, 8 * rx_batch_segments_max) << c.name;
    } else {
      EXPECT_EQ(lengths, c.datagrams) << c.name;
    }
    EXPECT_EQ(pass.count[3], n) << c.name;
    EXPECT_EQ(pass.segments_dropped, c.dropped) << c.name;
  }
}

// A tunnel socket and a sender bound on loopback, each knowing the other's address.
class RxBatchRead : public testing::Test {
protected:
  std::vector<rx_fd> sockets;
  rx_fd sender;
  sockaddr_in to{};
  sockaddr_in self{};

  void SetUp() override {
    NKCx nk{};
    ASSERT_TRUE(rx_open_tunnel_sockets(&nk, in_addr{htonl(INADDR_LOOPBACK)}, 0, 1, &sockets));
    socklen_t len = sizeof to;
    ASSERT_EQ(getsockname(sockets[0].get(), reinterpret_cast<sockaddr *>(&to), &len), 0);
    sender = rx_fd(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(sender.get(), 0);
    const sockaddr_in bound = loopback(0);
    ASSERT_EQ(bind(sender.get(), reinterpret_cast<const sockaddr *>(&bound), sizeof bound), 0);
    len = sizeof self;
    ASSERT_EQ(getsockname(sender.get(), reinterpret_cast<sockaddr *>(&self), &len), 0);
  }
};

// A run sent segmented reaches the tunnel socket as one read and comes out as its datagrams.
TEST_F(RxBatchRead, ARunSentSegmentedIsReadWholeAndCutApart) {
  bytes run;
  constexpr std::size_t sent = 20;
  for (std::size_t i = 0; i < sent; ++i) {
    const bytes d = data(500 + i);
    run.insert(run.end(), d.begin(), d.end());
  }
  const int segment = static_cast<int>(data(0).size());
  ASSERT_EQ(setsockopt(sender.get(), SOL_UDP, UDP_SEGMENT, &segment, sizeof segment), 0);
  ASSERT_EQ(sendto(sender.get(), run.data(), run.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(run.size()))
      << std::strerror(errno);

  rx_batch_pass pass;
  ASSERT_TRUE(rx_batch_init(&pass, 1));
  EXPECT_EQ(rx_batch_read(&pass, 0, sockets[0].get()), sent);
  EXPECT_EQ(pass.reads[0], 1u) << "the run came in one read";
  for (std::size_t i = 0; i < sent; ++i) {
    const std::span<const std::uint8_t> d = rx_batch_datagram(&pass, 0, i);
    const bytes want = data(500 + i);
    EXPECT_TRUE(std::equal(d.begin(), d.end(), want.begin(), want.end())) << i;
  }
}

TEST_F(RxBatchRead, ReadTakesAFullBatchThenTheRestWithSources) {
  rx_batch_pass pass;
  ASSERT_TRUE(rx_batch_init(&pass, 1));
  constexpr std::size_t sent = rx_batch_max + 8;
  for (std::size_t i = 0; i < sent; ++i) {
    const bytes d = data(i + 1);
    ASSERT_EQ(sendto(sender.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(d.size()));
  }
  EXPECT_EQ(rx_batch_read(&pass, 0, sockets[0].get()), rx_batch_max);
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < rx_batch_max; ++i) {
    ASSERT_TRUE(rx_batch_key(rx_batch_datagram(&pass, 0, i), &key));
    EXPECT_EQ(key, i + 1);
    EXPECT_EQ(rx_batch_datagram(&pass, 0, i).size(), data(1).size());
    EXPECT_EQ(rx_batch_source(&pass, 0, i).sin_port, self.sin_port);
  }
  EXPECT_EQ(rx_batch_read(&pass, 0, sockets[0].get()), 8u);
  EXPECT_EQ(pass.count[0], 8u);
  ASSERT_TRUE(rx_batch_key(rx_batch_datagram(&pass, 0, 7), &key));
  EXPECT_EQ(key, sent);
  EXPECT_EQ(rx_batch_read(&pass, 0, sockets[0].get()), 0u);
  EXPECT_EQ(pass.count[0], 0u);
}

} // namespace
