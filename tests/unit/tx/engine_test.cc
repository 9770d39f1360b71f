#include <gtest/gtest.h>

#include <cstring>

#include "capture.h"
#include "clock.h"
#include "fec.h"
#include "input.h"
#include "liveness.h"
#include "net.h"
#include "pacing.h"
#include "receive.h"
#include "retransmit.h"
#include "send.h"
#include "stop.h"
#include "tx_fixture.h"

namespace {

// One output towards a loopback receiver, with a ring that holds slices 1..n ready to go.
class Engine : public testing::Test {
protected:
  udp_end rx;
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  transmission *tr = nullptr;

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-d", rx.addr(), "-e", "100000", "-o", "5000"};
    args.insert(args.end(), extra.begin(), extra.end());
    t = parsed(args);
    ready_ring(t.get());
    tr = t->tr;
    tx_read_monotonic(&t->now);
  }
  // The description a new output owes first, taken as sent, so that data comes next.
  void described() {
    tr->info_request = 0;
    tr->last_info = t->now;
  }
  void put_slice(uint64_t seq, unsigned n, uint8_t fill) {
    tun_slice &s = t->buffer[static_cast<std::size_t>(seq & static_cast<uint64_t>(t->buff_size - 1))];
    s.seq = seq;
    s.size = static_cast<uint8_t>(n) & 0x7F;
    s.time = {static_cast<int64_t>(seq), 5};
    std::memset(s.udp_data, fill, sizeof s.udp_data);
    t->next = seq + 1;
  }
  std::vector<uint8_t> send_one() {
    tr_net_tx(tr);
    return rx.recv_one();
  }
};

TEST_F(Engine, ControlPacketsGoAheadOfDataInUrgencyOrder) {
  start();
  put_slice(1, 2, 0xAA);
  static uint8_t key_reply[8 + 20];
  tun_header_init(reinterpret_cast<tun_packet_header *>(key_reply), 7, TUN_AES_REPLY);
  tun_set_body_length(reinterpret_cast<tun_packet_header *>(key_reply), 20);
  tr->aes_reply = reinterpret_cast<tun_packet_header *>(key_reply);
  tr->ping_seq = 9;
  tr->info_reply = 1;

  auto p = send_one();
  EXPECT_EQ(p.size(), 28u);
  EXPECT_EQ(p[5], TUN_AES_REPLY);
  EXPECT_EQ(tr->aes_reply, nullptr);
  p = send_one();
  EXPECT_EQ(p.size(), 48u);
  EXPECT_EQ(p[5], TUN_PING_REPLY);
  p = send_one();
  EXPECT_EQ(p[5], TUN_INFO_REPLY) << "a pending reply and a due request go out as one reply";
  EXPECT_EQ(tr->info_request, 0);
  EXPECT_EQ(tr->info_reply, 0);
  p = send_one();
  EXPECT_EQ(p.size(), tun_data_len(2));
  EXPECT_EQ(p[5], TUN_DATA);
  EXPECT_EQ(tr->next_slice, 2u);
  EXPECT_EQ(tr->stat.sent, 1u);
  EXPECT_NE(err.text().find("[0] Transmission key sent."), std::string::npos);
}

TEST_F(Engine, DataPacketIsHeaderDepartureAndSliceImage) {
  start();
  described();
  put_slice(1, 7, 0x47);
  t->now = {123, 456};
  auto p = send_one();
  ASSERT_EQ(p.size(), 1368u);
  const uint8_t expect_header[8] = {0x48, 0x21, 0x47, 0x20, 7, 0, 0, 0};
  EXPECT_EQ(std::memcmp(p.data(), expect_header, 8), 0);
  int64_t dep[2];
  std::memcpy(dep, p.data() + 8, 16);
  EXPECT_EQ(dep[0], 123);
  EXPECT_EQ(dep[1], 456);
  EXPECT_EQ(std::memcmp(p.data() + 24, &t->buffer[1], 28 + 7 * 188), 0);
  EXPECT_EQ(t->tr->fuses.last_transmitted_data_packet.tv_sec, 123);
}

TEST_F(Engine, SliceNoLongerInItsSlotIsTooLateAndNotSent) {
  start();
  described();
  put_slice(4097, 1, 1); // overwrote slot 1 before slice 1 went
  tr->next_slice = 1;
  tr_net_tx(tr);
  EXPECT_EQ(tr->stat.too_late_to_send, 1u);
  EXPECT_EQ(tr->next_slice, 1u);
  EXPECT_EQ(tr->next_port, tr->port) << "nothing sent, no rotation";
}

TEST_F(Engine, UnencryptedSliceWaitsWhenEncrypting) {
  start();
  put_slice(1, 1, 1);
  t->aes = aes_new(&t->nk);
  int max_fd = 0;
  fd_set r, w;
  FD_ZERO(&r);
  FD_ZERO(&w);
  tr->info_request = 0;
  tr->last_info = t->now;
  tr_fdset(tr, &max_fd, &r, &w);
  EXPECT_FALSE(FD_ISSET(tr->sock, &w)) << "nothing may go yet";
  tr_net_tx(tr);
  EXPECT_EQ(tr->stat.sent, 0u);
  EXPECT_EQ(tr->stat.too_late_to_send, 0u) << "waiting is not counted";
  t->aes->encrypted_upto = 2; // the worker has passed slice 1
  tr_fdset(tr, &max_fd, &r, &w);
  EXPECT_TRUE(FD_ISSET(tr->sock, &w));
  t->aes.reset();
}

TEST_F(Engine, PortRotationWrapsAndAFailedSendStillMovesOn) {
  start();
  described();
  tr->port = 65535;
  tr->next_port = 65535;
  tr->port_range_size = 2;
  fd_capture out(STDOUT_FILENO);
  put_slice(1, 0, 0);
  put_slice(2, 0, 0);
  tr_net_tx(tr); // to 65535
  EXPECT_EQ(tr->next_port, 65536u);
  tr_net_tx(tr); // port 0 cannot be sent to
  EXPECT_EQ(t->stat.sendto_err, 1u);
  EXPECT_EQ(out.text(), "sendto!!!\n");
  EXPECT_EQ(tr->next_port, 65535u);
  EXPECT_EQ(tr->next_slice, 3u) << "a failed send does not undo the slice";
  EXPECT_NE(err.text().find("[0] tr_nex_tx("), std::string::npos);
}

TEST_F(Engine, ControlPacketsIgnoreTheBandwidthWindow) {
  start();
  tr->bw.max = 0;
  tr->bw.start = t->now;
  tr->bw.count = 1;
  put_slice(1, 1, 1);
  tr->info_request = 0;
  tr->last_info = t->now;
  int max_fd = 0;
  fd_set r, w;
  FD_ZERO(&r);
  FD_ZERO(&w);
  tr_fdset(tr, &max_fd, &r, &w);
  EXPECT_FALSE(FD_ISSET(tr->sock, &w)) << "window spent";
  tr->ping_seq = 3;
  tr_fdset(tr, &max_fd, &r, &w);
  EXPECT_TRUE(FD_ISSET(tr->sock, &w)) << "a ping reply needs no bandwidth";
  EXPECT_GE(max_fd, tr->sock + 1);
}

TEST(Bandwidth, WindowSpreadsPacketsOverTheSecond) {
  transmission tr{};
  tesseltx t{};
  tr.t = &t;
  tr.bw.max = 1000;
  t.now = {50, 0};
  EXPECT_EQ(tr_bandwidth(&tr), 1) << "a new window opens at once";
  t.now = {50, 1000000};
  EXPECT_EQ(tr_bandwidth(&tr), 0) << "1 ms: 1 allowed, 1 counted";
  t.now = {50, 2000000};
  EXPECT_EQ(tr_bandwidth(&tr), 1);
  EXPECT_EQ(tr_bandwidth(&tr), 0);
  t.now = {50, 3000000};
  EXPECT_EQ(tr_bandwidth(&tr), 1);
  t.now = {51, 0};
  EXPECT_EQ(tr_bandwidth(&tr), 1) << "a second later a new window";
  EXPECT_EQ(tr.bw.count, 1u);
  t.now = {50, 0};
  EXPECT_EQ(tr_bandwidth(&tr), 1) << "a clock before the window opens a new one";
}

TEST(Bandwidth, NoCapMeansOnePacketASecond) {
  transmission tr{};
  tesseltx t{};
  tr.t = &t;
  int sent = 0;
  for (int ms = 0; ms < 3000; ++ms) {
    t.now = {10 + ms / 1000, (ms % 1000) * 1000000};
    sent += tr_bandwidth(&tr);
  }
  EXPECT_EQ(sent, 3);
}

TEST(Silence, RuleWithAFloorForTinyDelays) {
  EXPECT_EQ(tr_silence_ms(1000), 1200u);
  EXPECT_EQ(tr_silence_ms(5000), 6000u);
  EXPECT_EQ(tr_silence_ms(0), tr_silence_floor_ms);
  EXPECT_EQ(tr_silence_ms(10), tr_silence_floor_ms);
  EXPECT_EQ(tr_silence_ms(4294967295u), 5153960754ull);
}

TEST_F(Engine, DescriptionRepeatsAfterSilenceButNotEveryPass) {
  start({"-o", "0"});
  int max_fd = 0;
  fd_set r, w;
  auto wants_description = [&] {
    FD_ZERO(&r);
    FD_ZERO(&w);
    tr_fdset(tr, &max_fd, &r, &w);
    return tr->info_request != 0;
  };
  EXPECT_TRUE(wants_description()) << "first thing after creation";
  tr_net_tx(tr);
  EXPECT_FALSE(wants_description()) << "a zero delay must not resend on every pass";
  t->now.tv_nsec += 200000000;
  timespec_normalize(&t->now);
  EXPECT_FALSE(wants_description());
  t->now.tv_sec += 1;
  EXPECT_TRUE(wants_description()) << "silence past the floor";
  tr_net_tx(tr);
  t->now.tv_sec += 299;
  tr->last_ping = t->now; // the receiver pings: only the five-minute rule remains
  EXPECT_FALSE(wants_description());
  t->now.tv_sec += 2;
  tr->last_ping = t->now;
  EXPECT_TRUE(wants_description());
}

TEST_F(Engine, Version5NeverDescribesUnasked) {
  start({"-5"});
  int max_fd = 0;
  fd_set r, w;
  FD_ZERO(&r);
  FD_ZERO(&w);
  tr_fdset(tr, &max_fd, &r, &w);
  EXPECT_EQ(tr->info_request, 0);
  EXPECT_FALSE(FD_ISSET(tr->sock, &w));
}

TEST_F(Engine, ActivationStartsAtTheNewestSlice) {
  start();
  t->next = 1001;
  tr->active_flag = 0;
  tr->next_port = tr->port + 3;
  tr_activate(tr);
  EXPECT_EQ(tr->next_slice, 1000u);
  EXPECT_EQ(tr->first_to_repeat, 1000u);
  EXPECT_EQ(tr->active_flag, 1);
  EXPECT_EQ(tr->next_port, tr->port);
  EXPECT_NE(err.text().find("Activating tr0 @1000"), std::string::npos);
  t->next = 1;
  tr_activate(tr);
  EXPECT_EQ(tr->next_slice, 1u) << "before any datagram the output waits for slice 1, not 0";
}

TEST_F(Engine, BackupSwitchesAfterSilenceInListOrder) {
  udp_end rx2;
  std::vector<std::string> args = {"-b", "-d", rx.addr(), "-d", rx2.addr(), "-o", "1000"};
  t = parsed(args);
  ready_ring(t.get());
  t->tr->next->active_flag = 0;
  t->now = t->tr->last_ping;
  t->now.tv_nsec += 1000000;
  t->now.tv_sec += 1;
  timespec_normalize(&t->now);
  tun_switch_backup(t.get());
  EXPECT_EQ(t->active_tr, t->tr) << "1.001 s of silence is within 1.2 s";
  t->now.tv_nsec += 200000000;
  timespec_normalize(&t->now);
  tun_switch_backup(t.get());
  EXPECT_EQ(t->active_tr, t->tr->next);
  EXPECT_EQ(t->tr->active_flag, 0);
  EXPECT_EQ(t->tr->next->active_flag, 1);
  EXPECT_NE(err.text().find("Deactivating tr0 @1"), std::string::npos);
  t->now.tv_sec += 2;
  tun_switch_backup(t.get());
  EXPECT_EQ(t->active_tr, t->tr) << "cyclic";
}

TEST_F(Engine, PingTimeoutRecreatesTheSocket) {
  start({"-U", "5"});
  t->now = tr->last_ping;
  t->now.tv_sec += 6;
  int max_fd = 0;
  fd_set r;
  fd_set w;
  FD_ZERO(&r);
  FD_ZERO(&w);
  tr_fdset(tr, &max_fd, &r, &w);
  EXPECT_NE(err.text().find("Recreating a socket on ping timeout 5s"), std::string::npos);
  EXPECT_EQ(tr->last_ping.tv_sec, t->now.tv_sec);
  EXPECT_GE(tr->sock, 0);
  EXPECT_TRUE(FD_ISSET(tr->sock, &r)) << "the new socket is watched in the same pass";
  EXPECT_FALSE(t->stopping);
  t->now.tv_sec += 4;
  EXPECT_EQ(tun_switch_backup(t.get()), tun_backup_action::none)
      << "the wait starts again after a re-creation";
  EXPECT_EQ(err.text().find("Recreating", err.text().find("Recreating") + 1), std::string::npos);
}

TEST(EngineDeathTest, PingTimeoutStopsTheTunnelAndTheLoopEndsTheProcess) {
  udp_end rx;
  auto t = parsed({"-d", rx.addr(), "-u", "10"});
  ready_ring(t.get());
  t->now = t->tr->last_ping;
  t->now.tv_sec += 10;
  tun_switch_backup(t.get());
  EXPECT_FALSE(t->stopping) << "exactly 10 s is not more than 10 s";
  t->now.tv_nsec += 1;
  EXPECT_EQ(tun_switch_backup(t.get()), tun_backup_action::none);
  EXPECT_TRUE(t->stopping);
  EXPECT_EQ(t->exit_status, 0);
  t->stopping = false;
  int max_fd = 0;
  fd_set r;
  fd_set w;
  FD_ZERO(&r);
  FD_ZERO(&w);
  EXPECT_EXIT(tr_fdset(t->tr, &max_fd, &r, &w), testing::ExitedWithCode(0), "Exiting on ping timeout 10s");
}

TEST(Liveness, Version5IgnoresPingTimeouts) {
  udp_end rx;
  auto t = parsed({"-d", rx.addr(), "-u", "10", "-U", "5", "-5"});
  ready_ring(t.get());
  const int sock = t->tr->sock;
  t->now.tv_sec += 100;
  EXPECT_EQ(tun_switch_backup(t.get()), tun_backup_action::none);
  EXPECT_FALSE(t->stopping);
  EXPECT_EQ(t->tr->sock, sock);
}

TEST_F(Engine, FecGroupsOfTwoRepeatTheImageAsParity) {
  start({"-f", "1"});
  described();
  put_slice(1, 3, 0x11);
  auto d = send_one();
  ASSERT_EQ(d.size(), tun_data_fec_len(3));
  EXPECT_EQ(d[5], 0x40);
  auto p = send_one();
  ASSERT_EQ(p.size(), tun_data_fec_len(3));
  EXPECT_EQ(p[5], 0x43);
  EXPECT_EQ(p[6], 3);
  uint64_t pos_d, pos_p;
  std::memcpy(&pos_d, d.data() + 24, 8);
  std::memcpy(&pos_p, p.data() + 24, 8);
  EXPECT_EQ(pos_d, 0u);
  EXPECT_EQ(pos_p, 1u);
  EXPECT_EQ(std::memcmp(d.data() + 32, p.data() + 32, d.size() - 32), 0);
  EXPECT_EQ(tr->stat.fec, 1u);
}

TEST_F(Engine, FecParityLengthFollowsTheLargestSliceSeen) {
  start({"-f", "3"});
  described();
  put_slice(1, 7, 0x01);
  put_slice(2, 1, 0x02);
  put_slice(3, 0, 0x04);
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 4; ++i) {
    sent.push_back(send_one());
  }
  ASSERT_EQ(sent[3][5], 0x43);
  EXPECT_EQ(sent[3].size(), 1376u);
  // XOR of the three images (zero-extended) rebuilds any one of them from the others.
  std::vector<uint8_t> rebuilt(sent[3].begin() + 32, sent[3].end());
  for (size_t i : {size_t{0}, size_t{2}}) {
    for (size_t b = 0; b + 32 < sent[i].size(); ++b) {
      rebuilt[b] ^= sent[i][32 + b];
    }
  }
  EXPECT_EQ(std::vector<uint8_t>(rebuilt.begin(), rebuilt.begin() + static_cast<long>(sent[1].size() - 32)),
            std::vector<uint8_t>(sent[1].begin() + 32, sent[1].end()));
  put_slice(4, 1, 0x08);
  put_slice(5, 1, 0x08);
  put_slice(6, 1, 0x08);
  for (int i = 0; i < 3; ++i) {
    send_one();
  }
  EXPECT_EQ(send_one().size(), 1376u) << "the largest size is never reset";
}

TEST_F(Engine, ReceivedPingIsAnsweredOnlyForTheLatest) {
  start();
  tun_ping_packet ping{};
  tun_header_init(&ping.h, 7, TUN_PING);
  auto send_ping = [&](uint64_t seq) {
    ping.seq = seq;
    ping.departure_time = {static_cast<int64_t>(seq), 1};
    // The transmitter's local port is known only after its first send.
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(tr->sock, reinterpret_cast<sockaddr *>(&me), &len);
    rx.send_to(ntohs(me.sin_port), &ping, sizeof ping);
    tr_net_rx(tr);
  };
  tr->info_reply = 1;
  send_one(); // binds the transmitter's socket
  send_ping(5);
  send_ping(6);
  EXPECT_EQ(tr->stat.ping_pkts, 2u);
  auto reply = send_one();
  ASSERT_EQ(reply.size(), 48u);
  uint64_t seq;
  std::memcpy(&seq, reply.data() + 8, 8);
  EXPECT_EQ(seq, 6u);
  send_ping(0);
  EXPECT_EQ(tr->ping_seq, 0u) << "seq 0 refreshes liveness but wants no reply";
  EXPECT_EQ(tr->stat.ping_pkts, 3u);
}

} // namespace
