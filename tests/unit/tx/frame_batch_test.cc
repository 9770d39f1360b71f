// The loop's batched edges: input read in batches straight into ring slots, outputs drained and
// sent in batches under the per-packet window, the tick while data flows, and stage timings that
// read the CPU clock only in sampled passes yet still add up to the loop's CPU time.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/udp.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "capture.h"
#include "clock.h"
#include "loop.h"
#include "net.h"
#include "tx_fixture.h"

// The test binary is linked with --wrap=sendmmsg: a test can make the outputs' sockets look
// full, which loopback never does by itself, or the kernel refuse segmented sends, and it can
// see how the datagrams were handed over (segments per message, 1 for a plain one).
std::atomic<bool> sockets_full{false};
std::atomic<bool> refuse_segments{false};
std::vector<unsigned> handed_over;

unsigned segments_of(msghdr *m) {
  for (cmsghdr *cm = CMSG_FIRSTHDR(m); cm != nullptr; cm = CMSG_NXTHDR(m, cm)) {
    if (cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_SEGMENT) {
      uint16_t size = 0;
      std::memcpy(&size, CMSG_DATA(cm), sizeof size);
      size_t total = 0;
      for (size_t i = 0; i < m->msg_iovlen; ++i) {
        total += m->msg_iov[i].iov_len;
      }
      return static_cast<unsigned>((total + size - 1) / size);
    }
  }
  return 1;
}

using sendmmsg_fn = int (*)(int, mmsghdr *, unsigned, int);
int full_or(sendmmsg_fn real, int fd, mmsghdr *msgs, unsigned n, int flags) {
  if (sockets_full) {
    errno = EAGAIN;
    return -1;
  }
  if (refuse_segments && segments_of(&msgs[0].msg_hdr) > 1) {
    errno = EIO; // what a route without checksum offload answers
    return -1;
  }
  const int sent = real(fd, msgs, n, flags);
  for (int i = 0; i < sent; ++i) {
    handed_over.push_back(segments_of(&msgs[i].msg_hdr));
  }
  return sent;
}
extern "C" int __real_sendmmsg(int fd, mmsghdr *msgs, unsigned n, int flags);
extern "C" int __wrap_sendmmsg(int fd, mmsghdr *msgs, unsigned n, int flags) {
  return full_or(__real_sendmmsg, fd, msgs, n, flags);
}
#ifdef __USE_TIME_BITS64
// A 32-bit target with 64-bit time calls the library's function by this name.
extern "C" int __real___sendmmsg64(int fd, mmsghdr *msgs, unsigned n, int flags);
extern "C" int __wrap___sendmmsg64(int fd, mmsghdr *msgs, unsigned n, int flags) {
  return full_or(__real___sendmmsg64, fd, msgs, n, flags);
}
#endif

namespace {

using bytes = std::vector<uint8_t>;

bytes ts_payload(unsigned packets, uint8_t fill) {
  bytes d(188u * packets, fill);
  for (unsigned i = 0; i < packets; ++i) {
    d[188u * i] = 0x47;
    d[188u * i + 1] = 0x1F; // null PID: no continuity counting
    d[188u * i + 2] = 0xFF;
  }
  return d;
}

uint64_t thread_cpu_us() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

class Batch : public testing::Test {
protected:
  udp_end source;
  udp_end rx;
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  int in_port = 0;

  void start(std::vector<std::string> extra = {}, int slots = 4096) {
    std::vector<std::string> args = {"-s", "127.0.0.1:0", "-e", "100000", "-d", rx.addr(), "-o", "5000"};
    args.insert(args.end(), extra.begin(), extra.end());
    t = parsed(args);
    ready_ring(t.get(), slots);
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(t->socket, reinterpret_cast<sockaddr *>(&sin), &len);
    in_port = ntohs(sin.sin_port);
    tx_read_monotonic(&t->now);
    gettimeofday(&t->now_tv, nullptr);
    t->tr->info_request = 0; // the description owed first, taken as sent
    t->tr->last_info = t->now;
  }
  void feed(const bytes &d) { source.send_to(in_port, d.data(), d.size()); }
  void wait_input() {
    pollfd p{t->socket, POLLIN, 0};
    poll(&p, 1, 2000);
  }
  // Everything the receiver has, without waiting.
  std::vector<bytes> received() {
    std::vector<bytes> got;
    for (;;) {
      bytes b(2048);
      const ssize_t n = recv(rx.fd, b.data(), b.size(), MSG_DONTWAIT);
      if (n <= 0) {
        return got;
      }
      b.resize(static_cast<size_t>(n));
      got.push_back(std::move(b));
    }
  }
  // Runs passes until the loop is idle again (at most `limit`).
  void run_until_idle(int limit = 200) {
    for (int i = 0; i < limit; ++i) {
      tx_loop_pass(t.get());
      if (t->tr->next_slice == t->next) {
        break;
      }
    }
  }
};

// Data packets leave with their slice straight from the ring slot. A batch held back by a full
// socket while the input wraps the ring onto its slots must not send the newer slices in their
// place: those entries are dropped as too late, and every slice still goes out exactly once.
TEST_F(Batch, AHeldBatchNeverSendsASlotTheInputReused) {
  start({}, 16);
  // A window half a second open that allows everything: all three go in the first pass.
  tx_read_monotonic(&t->tr->bw.start);
  t->tr->bw.start.tv_nsec -= 500000000;
  timespec_normalize(&t->tr->bw.start);
  t->tr->bw.count = 0;
  t->tr->bw.max = 1000000;
  sockets_full = true;
  for (unsigned i = 0; i < 3; ++i) {
    feed(ts_payload(7, static_cast<uint8_t>(i + 1)));
  }
  wait_input();
  tx_loop_pass(t.get());
  ASSERT_EQ(t->tr->next_slice, 4u) << "slices 1..3 built into the held batch";
  // Slices 4..19: 17, 18 and 19 take the slots of 1, 2 and 3.
  for (unsigned i = 3; i < 19; ++i) {
    feed(ts_payload(7, static_cast<uint8_t>(i + 1)));
  }
  for (int i = 0; i < 50 && t->next < 20; ++i) {
    tx_loop_pass(t.get());
  }
  ASSERT_EQ(t->next, 20u);
  EXPECT_TRUE(received().empty());
  sockets_full = false;
  run_until_idle();
  std::vector<uint64_t> seqs;
  for (const bytes &p : received()) {
    if ((p[5] & 0x3F) != TUN_DATA) {
      continue;
    }
    uint64_t seq = 0;
    std::memcpy(&seq, p.data() + 24, 8);
    EXPECT_EQ(p[49], 0x47);
    EXPECT_EQ(p[52], static_cast<uint8_t>(seq)) << "slice " << seq << " carries its own bytes";
    seqs.push_back(seq);
  }
  std::vector<uint64_t> want;
  for (uint64_t s = 4; s < 20; ++s) {
    want.push_back(s);
  }
  EXPECT_EQ(seqs, want);
  EXPECT_EQ(t->tr->stat.too_late_to_send, 3u);
}

TEST_F(Batch, InputBatchFillsConsecutiveSlotsAndSaysWhenMoreWait) {
  start();
  for (unsigned i = 0; i < 40; ++i) {
    feed(ts_payload(1 + i % 7, static_cast<uint8_t>(i)));
  }
  wait_input();
  bool filled = false;
  EXPECT_EQ(tun_net_rx(t.get(), true, &filled), tx_batch_size);
  EXPECT_TRUE(filled);
  // The rest is read without waiting; a later empty read does not wait either.
  size_t rest = 0;
  for (int i = 0; i < 50 && rest < 8; ++i) {
    rest += tun_net_rx(t.get(), false, &filled);
  }
  EXPECT_EQ(rest, 8u);
  EXPECT_EQ(tun_net_rx(t.get(), false, &filled), 0u);
  EXPECT_FALSE(filled);
  ASSERT_EQ(t->next, 41u);
  for (unsigned i = 0; i < 40; ++i) {
    const tun_slice &s = t->buffer[i + 1];
    ASSERT_EQ(s.seq, i + 1);
    ASSERT_EQ(s.size, 1 + i % 7) << i;
    EXPECT_EQ(s.udp_data[3], static_cast<uint8_t>(i)) << i;
  }
}

TEST_F(Batch, EmptyDatagramInABatchLeavesNoGapInTheRing) {
  start();
  feed(ts_payload(2, 0xA1));
  feed({});
  feed(ts_payload(3, 0xA2));
  feed({});
  feed(ts_payload(1, 0xA3));
  wait_input();
  size_t got = 0;
  for (int i = 0; i < 50 && got < 5; ++i) {
    got += tun_net_rx(t.get(), i == 0);
  }
  ASSERT_EQ(t->next, 4u) << "empty datagrams get no number";
  const uint8_t fills[] = {0xA1, 0xA2, 0xA3};
  const unsigned sizes[] = {2, 3, 1};
  for (unsigned i = 0; i < 3; ++i) {
    const tun_slice &s = t->buffer[i + 1];
    EXPECT_EQ(s.seq, i + 1);
    EXPECT_EQ(s.size, sizes[i]);
    EXPECT_EQ(s.udp_data[5], fills[i]) << "slice " << i + 1 << " holds its own datagram";
  }
}

TEST_F(Batch, ABatchStopsAtTheRingsEndAndShortOfAnUnsentSlot) {
  start({}, 16);
  t->next = 13; // slots 13, 14, 15 before the ring wraps
  t->tr->next_slice = 13;
  for (unsigned i = 0; i < 10; ++i) {
    feed(ts_payload(1, static_cast<uint8_t>(i)));
  }
  wait_input();
  bool filled = false;
  EXPECT_EQ(tun_net_rx(t.get(), true, &filled), 3u);
  EXPECT_TRUE(filled);
  EXPECT_EQ(t->buffer[15].seq, 15u);
  // Slice 29 would overwrite slot 13, which the output has not sent: the batch stops short.
  EXPECT_EQ(tun_net_rx(t.get(), false, &filled), 7u) << "slots 0..6 hold slices 16..22";
  EXPECT_EQ(t->buffer[0].seq, 16u);
  for (unsigned i = 0; i < 10; ++i) {
    feed(ts_payload(1, 0x55));
  }
  wait_input();
  EXPECT_EQ(tun_net_rx(t.get(), true, &filled), 6u) << "up to slice 28, one short of the unsent slot";
  EXPECT_FALSE(t->stopping);
}

TEST_F(Batch, OversizedInputIsCountedAndLoggedAtMostOncePerSecond) {
  start();
  t->now.tv_sec += 10; // clear of whatever an earlier test may have logged
  const uint64_t before = tx_oversized_inputs();
  for (int i = 0; i < 3; ++i) {
    feed(ts_payload(8, 1)); // 1504 bytes: one TS packet more than a slice holds
  }
  feed(ts_payload(7, 2));
  wait_input();
  size_t got = 0;
  for (int i = 0; i < 50 && got < 4; ++i) {
    got += tun_net_rx(t.get(), i == 0);
  }
  EXPECT_EQ(tx_oversized_inputs() - before, 3u);
  const uint64_t total = tx_oversized_inputs();
  EXPECT_EQ(t->buffer[1].size, 7) << "the cut keeps the whole packets that fit";
  const std::string log = err.text();
  const auto first = log.find("longer than 1316 bytes cut to a slice");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("cut to a slice", first + 40), std::string::npos) << "once within the second: " << log;
  t->now.tv_sec += 2;
  feed(ts_payload(9, 3));
  wait_input();
  tun_net_rx(t.get());
  const std::string again =
      "3 input datagram(s) longer than 1316 bytes cut to a slice (" + std::to_string(total + 1);
  EXPECT_NE(err.text().find(again), std::string::npos)
      << "a second later the log tells how many since: " << err.text();
}

TEST_F(Batch, APassSendsEveryDueSliceInOrderWithControlPacketsFirst) {
  start();
  const int rcvbuf = 4 << 20;
  setsockopt(rx.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  for (unsigned i = 0; i < 100; ++i) {
    feed(ts_payload(7, static_cast<uint8_t>(i)));
  }
  wait_input();
  t->tr->ping_seq = 77;
  t->tr->bw.max = 1000000; // the window allows everything
  run_until_idle();
  std::vector<bytes> got;
  for (int i = 0; i < 100 && got.size() < 101; ++i) {
    auto more = received();
    got.insert(got.end(), more.begin(), more.end());
    if (more.empty()) {
      poll(nullptr, 0, 5);
    }
  }
  ASSERT_EQ(got.size(), 101u);
  EXPECT_EQ(got[0][5] & 0x3F, TUN_PING_REPLY) << "the ping reply goes ahead of the slices";
  for (unsigned i = 0; i < 100; ++i) {
    const bytes &p = got[i + 1];
    ASSERT_EQ(p.size(), 1368u);
    uint64_t seq = 0;
    std::memcpy(&seq, p.data() + 24, 8);
    EXPECT_EQ(seq, i + 1);
    EXPECT_EQ(p[49 + 3], static_cast<uint8_t>(i));
  }
  EXPECT_EQ(t->tr->stat.sent, 100u);
}

// Data packets of one size to one port leave as one segmented send (a shorter one may end the
// run); the receiver sees the same datagrams in the same order. Where the kernel refuses
// segmenting, the output goes on datagram by datagram and loses nothing.
TEST_F(Batch, EqualDataPacketsLeaveSegmentedAndARefusalFallsBackToSingleDatagrams) {
  start();
  const int rcvbuf = 4 << 20;
  setsockopt(rx.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  // A window half a second open that allows everything: a pass sends all it has.
  tx_read_monotonic(&t->tr->bw.start);
  t->tr->bw.start.tv_nsec -= 500000000;
  timespec_normalize(&t->tr->bw.start);
  t->tr->bw.max = 1000000;
  std::vector<size_t> sizes;
  auto feed_slices = [&](unsigned n, unsigned packets) {
    for (unsigned i = 0; i < n; ++i) {
      feed(ts_payload(packets, static_cast<uint8_t>(sizes.size())));
      sizes.push_back(52u + 188u * packets);
    }
  };
  auto deliver = [&](size_t want) {
    std::vector<bytes> got;
    wait_input(); // loopback has queued them all by now
    for (int i = 0; i < 50 && t->tr->next_slice <= sizes.size(); ++i) {
      tx_loop_pass(t.get());
    }
    for (int i = 0; i < 100 && got.size() < want; ++i) {
      auto more = received();
      got.insert(got.end(), more.begin(), more.end());
      if (more.empty()) {
        poll(nullptr, 0, 5);
      }
    }
    return got;
  };
  auto check = [&](const std::vector<bytes> &got, size_t from) {
    ASSERT_EQ(got.size(), sizes.size() - from);
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].size(), sizes[from + i]) << i;
      uint64_t seq = 0;
      std::memcpy(&seq, got[i].data() + 24, 8);
      EXPECT_EQ(seq, from + i + 1);
      EXPECT_EQ(got[i][49 + 3], static_cast<uint8_t>(from + i)) << "datagram " << i << " holds its own slice";
    }
  };
  // The build host's kernel segments; an emulated target may pass no UDP options through, and
  // then every datagram goes on its own from the start.
  const int probe = socket(AF_INET, SOCK_DGRAM, 0);
  int none = 0;
  const bool segments = setsockopt(probe, SOL_UDP, UDP_SEGMENT, &none, sizeof none) == 0;
  close(probe);
#if defined(__x86_64__)
  ASSERT_TRUE(segments) << "this kernel sends no segmented runs";
#endif
  feed_slices(10, 7);
  feed_slices(1, 3);
  feed_slices(5, 7);
  wait_input();
  handed_over.clear();
  check(deliver(16), 0);
  if (!segments) {
    EXPECT_EQ(handed_over, std::vector<unsigned>(16, 1));
    return;
  }
  EXPECT_EQ(handed_over, (std::vector<unsigned>{11, 5})) << "ten full slices and the short one, then five";

  refuse_segments = true;
  const size_t before = sizes.size();
  feed_slices(8, 7);
  handed_over.clear();
  check(deliver(8), before);
  refuse_segments = false;
  EXPECT_EQ(handed_over, std::vector<unsigned>(8, 1));
  EXPECT_NE(err.text().find("segmented sends refused (Input/output error): sending datagram by datagram"),
            std::string::npos)
      << err.text();
  feed_slices(4, 7);
  handed_over.clear();
  check(deliver(4), before + 8);
  EXPECT_EQ(handed_over, std::vector<unsigned>(4, 1)) << "once refused, the output stays with single datagrams";
}

// The window's rule holds for each packet of a batch: with max packets a second, no more than
// max x elapsed ms / 1000 leave within the window's second.
TEST_F(Batch, TheWindowLimitsEveryPacketOfABatch) {
  start();
  for (unsigned i = 0; i < 200; ++i) {
    feed(ts_payload(1, 1));
  }
  wait_input();
  timespec64 opened{};
  tx_read_monotonic(&opened);
  t->tr->bw.start = opened;
  t->tr->bw.count = 0;
  t->tr->bw.max = 1000;
  for (int i = 0; i < 20; ++i) {
    tx_loop_pass(t.get());
    timespec64 now{};
    tx_read_monotonic(&now);
    const int64_t ms = (now.tv_sec - opened.tv_sec) * 1000 + (now.tv_nsec - opened.tv_nsec) / 1000000;
    if (ms >= 1000) {
      break;
    }
    const uint64_t allowed = 1000u * static_cast<uint64_t>(ms) / 1000u;
    ASSERT_LE(t->tr->bw.count, allowed + 1) << "at " << ms << " ms";
  }
  EXPECT_GT(t->tr->stat.sent, 1u) << "the window still lets the stream through";
  EXPECT_LT(t->tr->stat.sent, 200u);
}

TEST_F(Batch, WhileDataFlowsAPassTicksAndWhenIdleItWaits) {
  start();
  t->tr->bw.max = 1; // the window lets one packet through, then holds the rest for a second
  feed(ts_payload(7, 1));
  wait_input();
  tx_loop_pass(t.get());
  ASSERT_EQ(t->next, 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(5)); // not closer than a tick
  feed(ts_payload(7, 2));
  wait_input();
  tx_loop_pass(t.get());
  ASSERT_EQ(t->next, 3u);
  ASSERT_EQ(t->tr->next_slice, 2u) << "the window holds slice 2 back: data is pending";
  auto t0 = std::chrono::steady_clock::now();
  tx_loop_pass(t.get());
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::milliseconds(50)) << "a pending slice is looked at again after a tick";
  t->tr->bw.max = 1000000;
  run_until_idle();
  tx_loop_pass(t.get()); // the pass that finds nothing more to do
  t0 = std::chrono::steady_clock::now();
  tx_loop_pass(t.get());
  took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(90)) << "an idle loop waits for its descriptors";
}

// A stream slower than a tick is waited for, each datagram sent in the pass that read it; two
// datagrams read in one wait make the loop tick.
TEST_F(Batch, ALoneDatagramIsSentAtOnceAndTheLoopWaitsAgain) {
  start();
  t->tr->bw.max = 1000000;
  run_until_idle();
  tx_loop_pass(t.get()); // ends a tick left over from an earlier test
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  feed(ts_payload(7, 1));
  wait_input();
  tx_loop_pass(t.get());
  ASSERT_EQ(t->next, 2u);
  EXPECT_EQ(received().size(), 1u) << "sent in the pass that read it";
  auto t0 = std::chrono::steady_clock::now();
  tx_loop_pass(t.get());
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90))
      << "no tick after a lone datagram";

  feed(ts_payload(7, 2));
  feed(ts_payload(7, 3));
  wait_input();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  tx_loop_pass(t.get());
  ASSERT_EQ(t->next, 4u);
  EXPECT_EQ(received().size(), 2u);
  t0 = std::chrono::steady_clock::now();
  tx_loop_pass(t.get());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50))
      << "two in one wait: a tick";
}

// The t_* figures time only sampled passes and weigh them; their sum over a busy run must
// still match the loop thread's CPU time, within 30 % (sampling 1 pass in 32 over ~1500
// passes spread this wide at most; the deviation seen is a few per cent).
TEST_F(Batch, SampledStageTimingsAgreeWithTheThreadsCpuTime) {
  start();
  t->tr->bw.max = 1000000;
  const stats before = t->stat;
  uint64_t cpu = 0;
  for (int round = 0; round < 1500; ++round) {
    for (int i = 0; i < 6; ++i) {
      feed(ts_payload(7, static_cast<uint8_t>(i)));
    }
    const uint64_t c0 = thread_cpu_us();
    tx_loop_pass(t.get());
    cpu += thread_cpu_us() - c0;
    received();
  }
  auto delta = [&](uint64_t now_v, uint64_t then_v) {
    return static_cast<uint32_t>(static_cast<uint32_t>(now_v) - static_cast<uint32_t>(then_v));
  };
  const uint64_t reported =
      uint64_t{delta(t->stat.t_pre_fdset, before.t_pre_fdset)} + delta(t->stat.t_fdset, before.t_fdset) +
      delta(t->stat.t_select, before.t_select) + delta(t->stat.t_pre_fdsel, before.t_pre_fdsel) +
      delta(t->stat.t_fdsel, before.t_fdsel);
  ASSERT_GT(cpu, 0u);
  EXPECT_GT(t->stat.in_pkts, 8000u);
  const double ratio = static_cast<double>(reported) / static_cast<double>(cpu);
  EXPECT_GT(ratio, 0.7) << reported << " us reported, " << cpu << " us used";
  EXPECT_LT(ratio, 1.3) << reported << " us reported, " << cpu << " us used";
  EXPECT_GT(delta(t->stat.t_net_tx, before.t_net_tx), 0u) << "every stage still has its figure";
  EXPECT_GT(delta(t->stat.t_net_rx, before.t_net_rx) + delta(t->stat.t_select, before.t_select), 0u);
}

} // namespace
