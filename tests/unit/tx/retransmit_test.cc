#include <gtest/gtest.h>

#include <cstring>

#include "capture.h"
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

// Over the engine alone: requests go in through tun_request, resends come out of tr_send.
class Requests : public testing::Test {
protected:
  udp_end rx;
  fd_capture err;
  sent_capture wire;
  std::unique_ptr<tesseltx> t;
  transmission *tr = nullptr;

  void SetUp() override {
    t = parsed({"-d", rx.addr(), "-e", "100000", "-o", "5000"});
    ready_ring(t.get());
    tr = t->tr;
    tr->info_request = 0;
    t->now = {100, 0};
    tr->last_info = t->now;
  }
  // Pretends slices first..last arrived and this output sent them all once.
  void received_and_sent(uint64_t first, uint64_t last) {
    const uint64_t mask = static_cast<uint64_t>(t->buff_size - 1);
    for (uint64_t s = first; s <= last; ++s) {
      t->buffer[static_cast<std::size_t>(s & mask)].seq = s;
      t->buffer[static_cast<std::size_t>(s & mask)].size = 1;
    }
    t->next = last + 1;
    tr->next_slice = last + 1;
    tr->first_to_repeat = last + 1;
  }
  void request(std::initializer_list<uint64_t> seqs, int id = -1, size_t claimed = SIZE_MAX,
               size_t received_seqs = SIZE_MAX) {
    tun_request_packet &p = tr->packet.request;
    tun_header_init(&p.h, 7, TUN_REQUEST);
    size_t i = 0;
    for (uint64_t s : seqs) {
      p.seqs[i++] = s;
    }
    p.h.size = static_cast<uint8_t>(claimed == SIZE_MAX ? i : claimed);
    p.h.fec = id >= 0 ? 1 : 0;
    p.h.id = static_cast<uint8_t>(id >= 0 ? id : 0);
    tun_request(tr, 8 + 8 * (received_seqs == SIZE_MAX ? i : received_seqs));
  }
  tx_slice &entry(uint64_t seq) { return tr->slice[static_cast<std::size_t>(seq & static_cast<uint64_t>(t->buff_size - 1))]; }
  // Resends until nothing is pending; returns the slice numbers in the order they went.
  std::vector<uint64_t> drain() {
    std::vector<uint64_t> out;
    while (tr_check_repeat(tr) != 0) {
      tr_send(tr, wire.fn());
      auto p = wire.next();
      if (p.size() >= 32 && p[5] == TUN_DATA_RESENT) {
        uint64_t s;
        std::memcpy(&s, p.data() + 24, 8);
        out.push_back(s);
      }
    }
    return out;
  }
};

TEST_F(Requests, FutureAndTooOldAreIgnored) {
  received_and_sent(1, 999);
  request({1000, 999});
  EXPECT_EQ(entry(999).to_be_send, 1u);
  EXPECT_EQ(entry(1000 & 4095).to_be_send, 0u);
  EXPECT_NE(err.text().find("[tun_request] [0] 1000 3e8 requested future packet (last:999), ignoring"),
            std::string::npos);
  EXPECT_EQ(tr->stat.slices_to_resend, 1u);
}

TEST_F(Requests, OnlySlicesStillInTheRingAreAccepted) {
  received_and_sent(95904, 99999); // the ring holds 95904..99999
  request({97000, 90000, 4000, 95903, 95904, 0});
  EXPECT_EQ(entry(97000).to_be_send, 1u);
  EXPECT_EQ(entry(95904).to_be_send, 1u);
  EXPECT_EQ(tr->stat.slices_to_resend, 2u) << "90000, 4000, 95903 and 0 have left the ring";
  EXPECT_EQ(entry(4000).seq, 0u) << "an early number must not take over a live slice's entry";
  EXPECT_EQ(tr->first_to_repeat, 95904u);
  EXPECT_NE(err.text().find("[tun_request] [0] 90000 requested packet is too old (last:95904), ignoring"),
            std::string::npos);
  EXPECT_NE(err.text().find("[tun_request] [0] 4000 requested packet is too old"), std::string::npos);
  EXPECT_EQ(drain(), (std::vector<uint64_t>{95904, 97000}));
}

TEST_F(Requests, TakeoverAbandonsTheOlderPendingResend) {
  received_and_sent(1, 4096);
  request({10});
  EXPECT_EQ(tr->stat.slices_to_resend, 1u);
  received_and_sent(4097, 4106); // slot of 10 now holds 4106
  request({4106});
  EXPECT_EQ(tr->stat.too_late_to_resend, 1u);
  EXPECT_EQ(tr->stat.slices_to_resend, 1u);
  EXPECT_EQ(entry(4106).seq, 4106u);
  EXPECT_EQ(entry(4106).request_counter, 1u);
  EXPECT_EQ(drain(), (std::vector<uint64_t>{4106}));
  EXPECT_EQ(tr->stat.slices_to_resend, 0u) << "the queue level must not wrap below zero";
}

TEST_F(Requests, TakeoverIsNotSuppressedByTheOlderSlicesId) {
  received_and_sent(1, 4096);
  request({10}, 5);
  received_and_sent(4097, 4106);
  request({4106}, 5);
  EXPECT_EQ(entry(4106).to_be_send, 1u);
  EXPECT_EQ(drain(), (std::vector<uint64_t>{4106}));
}

TEST_F(Requests, IdSuppressesRepeatsWithin200ms) {
  received_and_sent(1, 1000);
  request({500, 500}, 7);
  EXPECT_EQ(entry(500).request_counter, 1u) << "the same id counts once";
  t->now = {100, 150000000};
  request({500}, 7);
  EXPECT_EQ(entry(500).request_counter, 1u);
  request({500}, 8);
  EXPECT_EQ(entry(500).request_counter, 2u) << "a new id counts at once";
  t->now = {100, 400000000};
  request({500}, 8);
  EXPECT_EQ(entry(500).request_counter, 3u) << "the same id after 200 ms counts again";
  request({500, 500});
  EXPECT_EQ(entry(500).request_counter, 5u) << "without an id every mention counts";
  EXPECT_EQ(tr->stat.slices_to_resend, 1u);
  EXPECT_EQ(drain(), (std::vector<uint64_t>{500})) << "but it is resent once";
  EXPECT_EQ(tr->stat.resent[5], 1u);
  EXPECT_EQ(tr->stat.resent[0], 1u);
  EXPECT_EQ(tr->stat.slices_to_resend, 0u);
}

TEST_F(Requests, ResendRearmsAndHeavyRequestsCountInTheLastBucket) {
  received_and_sent(1, 1000);
  for (int i = 0; i < 20; ++i) {
    request({42});
  }
  EXPECT_EQ(drain(), (std::vector<uint64_t>{42}));
  EXPECT_EQ(tr->stat.resent[15], 1u);
  request({42});
  EXPECT_EQ(drain(), (std::vector<uint64_t>{42})) << "a request after the resend re-arms it";
  EXPECT_EQ(tr->stat.resent[15], 2u);
  EXPECT_EQ(tr->stat.resent[0], 2u);
}

TEST_F(Requests, LowestFirstAndTheScanMovesBack) {
  received_and_sent(1, 1000);
  request({700, 300});
  EXPECT_EQ(tr->first_to_repeat, 300u);
  EXPECT_EQ(tr_check_repeat(tr), 300u);
  tr_send(tr, wire.fn());
  wire.next();
  request({100});
  EXPECT_EQ(drain(), (std::vector<uint64_t>{100, 700}));
}

TEST_F(Requests, PendingSliceNotYetSentWaitsUntilSentOnce) {
  received_and_sent(1, 10);
  tr->next_slice = 5; // 5..10 not sent yet
  request({8});
  EXPECT_EQ(tr_check_repeat(tr), 0u);
  tr->next_slice = 11;
  EXPECT_EQ(tr_check_repeat(tr), 8u);
}

TEST_F(Requests, SizeIsHonouredOnlyAsFarAsTheDatagramHolds) {
  received_and_sent(1, 1000);
  request({1, 2, 3}, -1, 200, 2);
  EXPECT_EQ(tr->stat.slices_to_resend, 2u);
  request({}, -1, 0, 0);
  EXPECT_EQ(tr->stat.slices_to_resend, 2u) << "an empty request changes nothing";
}

TEST_F(Requests, ResendOfARefilledSlotIsDropped) {
  received_and_sent(1, 100);
  request({50});
  t->buffer[50].seq = 50 + 4096; // refilled behind the table's back
  tr_send(tr, wire.fn());
  EXPECT_TRUE(wire.next().empty());
  EXPECT_EQ(entry(50).to_be_send, 0u) << "the request is spent";
  EXPECT_EQ(tr->stat.slices_to_resend, 0u) << "and leaves the queue level";
  EXPECT_EQ(tr->stat.too_late_to_resend, 1u);
  EXPECT_EQ(tr_check_repeat(tr), 0u);
  EXPECT_NE(err.text().find("[tr_net_tx] [0] SEQs don't match."), std::string::npos);
}

TEST_F(Requests, PingReplyGoesAheadOfAPendingResend) {
  received_and_sent(1, 100);
  request({60});
  tr->ping_seq = 77;
  tr_send(tr, wire.fn());
  EXPECT_EQ(wire.next().size(), 48u);
  EXPECT_EQ(drain(), (std::vector<uint64_t>{60}));
}

TEST_F(Requests, ResendsTakeFecPositions) {
  t->fec = 3; // groups of two data packets and a parity
  received_and_sent(1, 100);
  request({10, 20});
  std::vector<uint8_t> kinds;
  std::vector<uint64_t> positions;
  for (int i = 0; i < 3; ++i) {
    tr_send(tr, wire.fn());
    auto p = wire.next();
    kinds.push_back(p[5]);
    uint64_t pos;
    std::memcpy(&pos, p.data() + 24, 8);
    positions.push_back(pos);
  }
  EXPECT_EQ(kinds, (std::vector<uint8_t>{0x41, 0x41, 0x43}));
  EXPECT_EQ(positions, (std::vector<uint64_t>{0, 1, 2}));
}

} // namespace
