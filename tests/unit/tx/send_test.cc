// The one decision of what a transmission sends next, over the engine alone: the same answer
// plans the pass and drives the send.
#include <gtest/gtest.h>

#include "capture.h"
#include "send.h"
#include "tx_fixture.h"

namespace {

struct state {
  bool key_reply = false;
  bool ping = false;
  bool info = false;
  bool fec_due = false;
  bool resend = false;
  // unencrypted: the next slice is not encrypted yet (those before it, already sent, are);
  // nothing_encrypted: not even the ones before it.
  enum { ready, unencrypted, nothing_encrypted, gone, not_yet } slice = ready;
  bool active = true;
};

struct decision_case {
  const char *name;
  state s;
  tr_next next;  // what is sent
  bool writable; // what the plan says (with an open bandwidth window)
};

const decision_case decisions[] = {
    {"key_reply_first", {true, true, true, true, true}, tr_next::key_reply, true},
    {"then_ping_reply", {false, true, true, true, true}, tr_next::ping_reply, true},
    {"then_description", {false, false, true, true, true}, tr_next::info, true},
    {"then_due_parity", {false, false, false, true, true}, tr_next::parity, true},
    {"then_resend", {false, false, false, false, true}, tr_next::resend, true},
    {"then_new_slice", {}, tr_next::slice, true},
    {"slice_not_encrypted_yet", {.slice = state::unencrypted}, tr_next::none, false},
    {"slice_not_arrived", {.slice = state::not_yet}, tr_next::none, false},
    {"slot_refilled", {.slice = state::gone}, tr_next::slice_gone, false},
    {"resend_ahead_of_an_unencrypted_slice",
     {.resend = true, .slice = state::unencrypted},
     tr_next::resend,
     true},
    // A resend never carries clear bytes: it waits for the worker as a new slice does.
    {"resend_waits_for_its_encryption",
     {.resend = true, .slice = state::nothing_encrypted},
     tr_next::none,
     false},
    // A standby output answers its receiver but carries no stream.
    {"standby_control", {.ping = true, .active = false}, tr_next::ping_reply, true},
    {"standby_stream", {.resend = true, .active = false}, tr_next::resend, false},
};

class Decision : public testing::TestWithParam<decision_case> {
protected:
  udp_end rx;
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  transmission *tr = nullptr;
  alignas(8) uint8_t key_reply[64] = {};

  void SetUp() override {
    t = parsed({"-d", rx.addr(), "-e", "100000", "-o", "5000"});
    ready_ring(t.get());
    tr = t->tr;
    t->now = {100, 0};
    tr->info_request = 0;
    tr->last_info = t->now;
    tr->last_ping = t->now;
  }
  void apply(const state &s) {
    for (uint64_t seq = 1; seq <= 20; ++seq) {
      t->buffer[static_cast<std::size_t>(seq)].seq = seq;
      t->buffer[static_cast<std::size_t>(seq)].size = 1;
    }
    t->next = 21;
    tr->next_slice = 20;
    tr->first_to_repeat = 20;
    if (s.slice == state::not_yet) {
      t->next = 20;
      t->buffer[20].seq = 0;
    }
    if (s.slice == state::gone) {
      t->buffer[20].seq = 20 + 4096;
    }
    if (s.slice == state::unencrypted || s.slice == state::nothing_encrypted) {
      t->aes = aes_new(&t->nk);
      // The worker has passed 1..19 (slice 20 waits), or nothing yet.
      t->aes->encrypted_upto = s.slice == state::unencrypted ? 20 : 1;
    }
    if (s.key_reply) {
      tun_header_init(reinterpret_cast<tun_packet_header *>(key_reply), 7, TUN_AES_REPLY);
      tr->aes_reply = reinterpret_cast<tun_packet_header *>(key_reply);
    }
    tr->ping_seq = s.ping ? 5 : 0;
    tr->info_reply = s.info ? 1 : 0;
    if (s.fec_due) {
      t->fec = 2;
      tr->fec.seq = 1;
    }
    if (s.resend) {
      tr->slice[10].seq = 10;
      tr->slice[10].to_be_send = 1;
      tr->stat.slices_to_resend = 1;
      tr->first_to_repeat = 10;
    }
    tr->active_flag = s.active ? 1 : 0;
  }
};

TEST_P(Decision, OneAnswerForThePlanAndTheSend) {
  const decision_case &c = GetParam();
  apply(c.s);
  uint64_t resend = 0;
  EXPECT_EQ(tr_next_packet(tr, true, &resend), c.next);
  if (c.next == tr_next::resend) {
    EXPECT_EQ(resend, 10u);
  }
  EXPECT_EQ(tr_plan(tr), c.writable);
  t->aes.reset();
}

INSTANTIATE_TEST_SUITE_P(Send, Decision, testing::ValuesIn(decisions),
                         [](const testing::TestParamInfo<decision_case> &i) {
                           return std::string(i.param.name);
                         });

// The plan charges the bandwidth window only for stream packets, and a closed window keeps
// stream packets back but never control packets.
TEST(Plan, BandwidthWindowHoldsStreamButNotControl) {
  udp_end rx;
  fd_capture err;
  auto t = parsed({"-d", rx.addr(), "-e", "11", "-o", "5000"}); // 1 slice per second
  ready_ring(t.get());
  transmission *tr = t->tr;
  t->now = {100, 0};
  tr->info_request = 0;
  tr->last_info = t->now;
  tr->last_ping = t->now;
  for (uint64_t seq = 1; seq <= 3; ++seq) {
    t->buffer[static_cast<std::size_t>(seq)].seq = seq;
  }
  t->next = 4;
  EXPECT_TRUE(tr_plan(tr)) << "a new window opens";
  EXPECT_EQ(tr->bw.count, 1u);
  t->now.tv_nsec = 500000000;
  EXPECT_FALSE(tr_plan(tr)) << "one packet a second: the window is spent";
  tr->ping_seq = 9;
  EXPECT_TRUE(tr_plan(tr));
  EXPECT_EQ(tr->bw.count, 1u) << "control packets are not charged";
}

// What tr_send hands over: the packet, at the port the rotation has reached.
TEST(Send, PacketGoesToTheRotatingPortThroughTheGivenFunction) {
  udp_end rx;
  fd_capture err;
  auto t = parsed({"-k", "2", "-d", rx.addr(), "-e", "100000"});
  ready_ring(t.get());
  transmission *tr = t->tr;
  t->now = {100, 0};
  tr->info_request = 0;
  tr->last_info = t->now;
  for (uint64_t seq = 1; seq <= 3; ++seq) {
    t->buffer[static_cast<std::size_t>(seq)].seq = seq;
    t->buffer[static_cast<std::size_t>(seq)].size = 2;
  }
  t->next = 4;
  sent_capture out;
  for (int i = 0; i < 4; ++i) {
    tr_send(tr, out.fn());
  }
  ASSERT_EQ(out.got.size(), 3u) << "three slices, then nothing";
  EXPECT_EQ(out.got[0].size(), tun_data_len(2));
  EXPECT_EQ(ntohs(out.to[0].sin_port), rx.port);
  EXPECT_EQ(ntohs(out.to[1].sin_port), rx.port + 1);
  EXPECT_EQ(ntohs(out.to[2].sin_port), rx.port);
  EXPECT_EQ(tr->stat.sent, 3u);
}

} // namespace
