#include <gtest/gtest.h>

#include <poll.h>

#include <cstring>

#include "capture.h"
#include "clock.h"
#include "input.h"
#include "net.h"
#include "tx_fixture.h"

namespace {

std::vector<uint8_t> ts(unsigned pid, unsigned cc, bool payload = true, uint8_t b1_extra = 0) {
  std::vector<uint8_t> p(188, 0xFF);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(((pid >> 8) & 0x1F) | b1_extra);
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  p[3] = static_cast<uint8_t>((payload ? 0x10 : 0x20) | (cc & 0x0F));
  return p;
}

struct ts_case {
  const char *what;
  std::vector<std::vector<uint8_t>> packets;
  uint64_t cc, tei, sb;
};

TEST(TsCheck, Scenarios) {
  auto bad_sync = ts(0x100, 0);
  bad_sync[0] = 0x46;
  const std::vector<ts_case> cases = {
      {"first packet of a PID", {ts(0x100, 5)}, 0, 0, 0},
      {"skipped counter with payload", {ts(0x100, 5), ts(0x100, 7)}, 1, 0, 0},
      {"repeated counter without payload", {ts(0x100, 5), ts(0x100, 5, false)}, 0, 0, 0},
      {"counter wraps", {ts(0x100, 15), ts(0x100, 0)}, 0, 0, 0},
      {"null packets never count", {ts(0x1FFF, 1), ts(0x1FFF, 9)}, 0, 0, 0},
      {"PIDs are independent", {ts(0x100, 1), ts(0x200, 9), ts(0x100, 2)}, 0, 0, 0},
      {"sync byte", {bad_sync, ts(0x100, 3)}, 0, 0, 1},
      {"error indicator skips the counter", {ts(0x100, 1), ts(0x100, 9, true, 0x80), ts(0x100, 2)}, 0, 1, 0},
  };
  for (const auto &c : cases) {
    tun_slice s{};
    std::array<unsigned char, 8192> cc;
    cc.fill(0xFF);
    stats st{};
    for (size_t i = 0; i < c.packets.size(); ++i) {
      std::memcpy(s.udp_data + i * 188, c.packets[i].data(), 188);
    }
    s.size = static_cast<uint8_t>(c.packets.size()) & 0x7F;
    const std::vector<uint8_t> before(s.udp_data, s.udp_data + sizeof s.udp_data);
    tun_ts_check(&s, cc.data(), &st);
    EXPECT_EQ(st.cc, c.cc) << c.what;
    EXPECT_EQ(st.tei, c.tei) << c.what;
    EXPECT_EQ(st.sb, c.sb) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(s.udp_data, s.udp_data + sizeof s.udp_data), before) << "never alters";
  }
}

class Input : public testing::Test {
protected:
  udp_end source;
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  int in_port = 0;
  void SetUp() override {
    t = parsed({"-s", "127.0.0.1:0", "-d", "127.0.0.1:9"});
    ready_ring(t.get());
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(t->socket, reinterpret_cast<sockaddr *>(&sin), &len);
    in_port = ntohs(sin.sin_port);
  }
  void feed(const std::vector<uint8_t> &d) {
    source.send_to(in_port, d.data(), d.size());
    tx_read_monotonic(&t->now);
    gettimeofday(&t->now_tv, nullptr);
    tun_net_rx(t.get());
  }
};

TEST_F(Input, DatagramsBecomeNumberedSlicesInTheirSlots) {
  feed(std::vector<uint8_t>(100, 'x'));
  feed({});
  std::vector<uint8_t> big(1000, 'y');
  feed(big);
  EXPECT_EQ(t->next, 3u) << "the empty datagram gets no number";
  EXPECT_EQ(t->buffer[1].seq, 1u);
  EXPECT_EQ(t->buffer[1].size, 0);
  EXPECT_EQ(t->buffer[2].seq, 2u);
  EXPECT_EQ(t->buffer[2].size, 5);
  EXPECT_EQ(std::memcmp(t->buffer[2].udp_data, big.data(), 1000), 0);
  EXPECT_EQ(t->stat.in_pkts, 2u);
  EXPECT_EQ(t->stat.in_bytes, 1100u);
  EXPECT_EQ(t->stat.sb, 5u) << "'y' is no sync byte";
  EXPECT_EQ(t->stat.from_driver.count, 2) << "each datagram carried its kernel time stamp";
  // Loopback may stamp a datagram in a softirq that runs after the read of the wall clock on
  // a busy machine: a few microseconds below zero, which the input path treats as no wait.
  EXPECT_GE(t->stat.from_driver.min, -1000);
  EXPECT_TRUE(!timespec64_before(t->now, t->buffer[2].time)) << "arrival is not after the read";
  EXPECT_EQ(t->tr->stat.tr_queue.count, 2) << "queue sampled after each datagram";
  EXPECT_NE(err.text().find("First data packet received."), std::string::npos);
}

TEST_F(Input, OversizedDatagramIsCutToSevenPackets) {
  std::vector<uint8_t> huge(1500, 0x47);
  feed(huge);
  EXPECT_EQ(t->buffer[1].size, 7);
  EXPECT_EQ(t->stat.in_bytes, 1316u);
}

TEST_F(Input, SliceFromTheEncryptionPointOfView) {
  t->aes = aes_new(&t->nk);
  EXPECT_EQ(tun_aes_condition(), nullptr) << "nothing is handed over before the input publishes it";
  feed(std::vector<uint8_t>(188, 0x47));
  feed(std::vector<uint8_t>(188, 0x47));
  EXPECT_EQ(tun_aes_condition(), &t->buffer[0]) << "the worker starts on the zero slot";
  t->aes->next_slice = 2;
  EXPECT_EQ(tun_aes_condition(), &t->buffer[2]);
  t->aes->next_slice = 3;
  EXPECT_EQ(tun_aes_condition(), nullptr);
  t->aes.reset();
}

TEST_F(Input, OverrunOfAnActiveOutputEndsTheProcess) {
  t->tr->next_slice = 10;
  t->next = 4106;
  EXPECT_EXIT(feed(std::vector<uint8_t>(188, 0x47)), testing::ExitedWithCode(0),
              "Main buffer overrun for tr0 \\(4096 slices exhausted from 10 to 4106\\)! Please check channel "
              "bandwidth\\. Exiting!");
}

TEST_F(Input, InactiveOutputsAreNotGuarded) {
  t->tr->next_slice = 10;
  t->tr->active_flag = 0;
  t->next = 4106;
  feed(std::vector<uint8_t>(188, 0x47));
  EXPECT_EQ(t->next, 4107u);
}

// The engine's side of the input, without a socket: the overrun stops the engine (the edge then
// ends the process) before the slice is counted.
TEST_F(Input, OverrunStopsTheEngineBeforeTheSliceCounts) {
  t->tr->next_slice = 10;
  t->next = 4106;
  tun_slice *slot = tx_input_slot(t.get());
  EXPECT_FALSE(tx_input(t.get(), slot, 188, std::nullopt));
  EXPECT_TRUE(t->stopping);
  EXPECT_EQ(t->exit_status, 0);
  EXPECT_EQ(t->next, 4106u);
  EXPECT_EQ(t->stat.in_pkts, 0u);
}

// The time a datagram waited in the kernel moves its slice back; a negative wait (the wall
// clock stepped back) is sampled but moves nothing.
TEST_F(Input, KernelWaitMovesTheSliceBack) {
  struct wait_case {
    std::optional<std::int64_t> wait_us;
    timespec64 expected;
  };
  const wait_case cases[] = {
      {std::nullopt, {50, 1000}},
      {1500, {49, 998501000}},
      {0, {50, 1000}},
      {-20, {50, 1000}},
  };
  for (const wait_case &c : cases) {
    t->now = {50, 1000};
    tun_slice *slot = tx_input_slot(t.get());
    ASSERT_TRUE(tx_input(t.get(), slot, 2 * 188, c.wait_us));
    EXPECT_EQ(slot->time.tv_sec, c.expected.tv_sec) << c.wait_us.value_or(999);
    EXPECT_EQ(slot->time.tv_nsec, c.expected.tv_nsec) << c.wait_us.value_or(999);
    EXPECT_EQ(slot->size, 2u);
  }
  EXPECT_EQ(t->stat.from_driver.count, 3) << "every known wait is sampled";
  EXPECT_EQ(t->stat.from_driver.min, -20);
}

// The kernel's stamp is wall clock time. A wall clock stepped forward an hour between the
// stamp and the read must not date the slice an hour early: the wait is bounded by the time
// since the socket was last seen empty, on the monotonic clock.
TEST_F(Input, AWallClockSteppedForwardDoesNotDateTheSliceEarly) {
  tx_read_monotonic(&t->now);
  gettimeofday(&t->now_tv, nullptr);
  tun_net_rx(t.get(), false); // nothing waits: the socket is seen empty now
  source.send_to(in_port, std::vector<uint8_t>(188, 0x47).data(), 188);
  pollfd p{t->socket, POLLIN, 0};
  poll(&p, 1, 2000);
  tx_read_monotonic(&t->now);
  gettimeofday(&t->now_tv, nullptr);
  t->now_tv.tv_sec += 3600;
  ASSERT_EQ(tun_net_rx(t.get()), 1u);
  const tun_slice &s = *tx_ring_slot(t.get(), t->next - 1);
  const int64_t held_ms =
      (t->now.tv_sec - s.time.tv_sec) * 1000 + (t->now.tv_nsec - s.time.tv_nsec) / 1000000;
  EXPECT_GE(held_ms, 0);
  EXPECT_LT(held_ms, 2000) << "the slice's time follows the monotonic clock";
  EXPECT_LT(t->stat.from_driver.max, 2000000) << "the sampled wait is bounded too";
}

} // namespace
