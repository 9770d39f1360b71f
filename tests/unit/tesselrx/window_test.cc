#include <gtest/gtest.h>

#include "rx_test_util.h"
#include "rx_window.h"

namespace {

struct RxWindow : ::testing::Test {
  rx_window w;
  std::uint8_t ts[188] = {};
  void SetUp() override { ASSERT_TRUE(rx_window_init(&w, 16)); }
  rx_insert put(std::uint64_t seq) { return rx_window_insert(&w, seq, static_cast<std::int64_t>(seq), ts); }
  // Numbers of everything playable, in play order; the missing ones before each are summed.
  std::vector<std::uint64_t> drain(std::uint64_t *missing_total) {
    std::vector<std::uint64_t> out;
    std::uint64_t missing = 0;
    *missing_total = 0;
    while (const rx_slot *s = rx_window_peek(&w, &missing)) {
      out.push_back(s->seq);
      *missing_total += missing;
      rx_window_pop(&w);
    }
    return out;
  }
};

TEST_F(RxWindow, CapacityIsRoundedUpToAPowerOfTwo) {
  rx_window x;
  ASSERT_TRUE(rx_window_init(&x, 1000));
  EXPECT_EQ(x.capacity, 1024u);
}

TEST_F(RxWindow, OutOfOrderArrivalsPlayInSequence) {
  for (std::uint64_t s : {5u, 7u, 6u, 9u, 8u}) {
    EXPECT_EQ(put(s), rx_insert::stored) << s;
  }
  std::uint64_t missing = 0;
  EXPECT_EQ(drain(&missing), (std::vector<std::uint64_t>{5, 6, 7, 8, 9}));
  EXPECT_EQ(missing, 0u);
}

TEST_F(RxWindow, UntilPlayingStartsAnEarlierArrivalBecomesTheHead) {
  put(3);
  EXPECT_EQ(put(2), rx_insert::stored);
  EXPECT_EQ(w.head, 2u);
  EXPECT_EQ(put(3u + 16), rx_insert::out_of_window); // the window is measured from the new head
  std::uint64_t missing = 0;
  rx_window_peek(&w, &missing);
  rx_window_pop(&w);
  EXPECT_EQ(put(1), rx_insert::late);
}

TEST_F(RxWindow, GapsAreSkippedAndCountedOnlyWhenPlayedPast) {
  put(1);
  put(4);
  std::uint64_t missing = 0;
  const rx_slot *s = rx_window_peek(&w, &missing);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->seq, 1u);
  rx_window_pop(&w);
  s = rx_window_peek(&w, &missing);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->seq, 4u);
  EXPECT_EQ(missing, 2u);
  // A latecomer before the slice is played still fills its gap.
  EXPECT_EQ(put(2), rx_insert::stored);
  s = rx_window_peek(&w, &missing);
  EXPECT_EQ(s->seq, 2u);
  EXPECT_EQ(missing, 0u);
}

TEST_F(RxWindow, DuplicatesWaitingOrPlayedAndLatecomers) {
  put(1);
  put(3);
  EXPECT_EQ(put(3), rx_insert::duplicate);
  std::uint64_t missing = 0;
  drain(&missing);
  EXPECT_EQ(put(1), rx_insert::duplicate); // played, slot not yet reused
  EXPECT_EQ(put(2), rx_insert::late);      // given up
  EXPECT_EQ(w.head, 4u);
}

TEST_F(RxWindow, NumbersAWindowAheadAreRefusedWhileSlicesWait) {
  put(1);
  EXPECT_EQ(put(16), rx_insert::stored); // head + capacity - 1
  EXPECT_EQ(put(17), rx_insert::out_of_window);
  EXPECT_EQ(w.pending, 2u);
}

TEST_F(RxWindow, OneStrayNeverMovesTheStreamButARestartDoes) {
  put(100);
  std::uint64_t missing = 0;
  drain(&missing);
  EXPECT_EQ(put(1u << 30), rx_insert::out_of_window);
  EXPECT_EQ(put(101), rx_insert::stored);
  drain(&missing);
  // A transmitter that starts again from 1: refused until enough arrive in a row.
  for (std::uint64_t s = 1; s < rx_resync_after; ++s) {
    EXPECT_EQ(put(s), rx_insert::late) << s;
  }
  EXPECT_EQ(put(rx_resync_after), rx_insert::resynced);
  EXPECT_EQ(put(rx_resync_after + 1), rx_insert::stored);
  EXPECT_EQ(drain(&missing), (std::vector<std::uint64_t>{rx_resync_after, rx_resync_after + 1}));
}

TEST_F(RxWindow, HugeNumbersDoNotOverflowTheDistances) {
  rx_window_insert(&w, UINT64_MAX - 2, 10, ts);
  EXPECT_EQ(rx_window_insert(&w, UINT64_MAX, 12, ts), rx_insert::stored);
  EXPECT_EQ(rx_window_insert(&w, 1, 5, ts), rx_insert::late);
  std::uint64_t missing = 0;
  EXPECT_EQ(drain(&missing), (std::vector<std::uint64_t>{UINT64_MAX - 2, UINT64_MAX}));
  EXPECT_EQ(missing, 1u);
}

} // namespace

namespace {

struct RxWindowRestart : RxWindow {
  rx_insert at(std::uint64_t seq, std::int64_t time) { return rx_window_insert(&w, seq, time, ts); }
};

TEST_F(RxWindowRestart, ANumberBehindWithALaterTimeIsANewStreamAndOldCopiesStayOut) {
  for (std::uint64_t s = 100; s < 106; ++s) {
    at(s, static_cast<std::int64_t>(s));
  }
  std::uint64_t missing = 0;
  for (int i = 0; i < 3; ++i) { // 100..102 played, 103..105 wait
    rx_window_peek(&w, &missing);
    rx_window_pop(&w);
  }
  EXPECT_EQ(at(101, 101), rx_insert::duplicate) << "a resend keeps its old time";
  EXPECT_EQ(at(90, 90), rx_insert::late);
  EXPECT_EQ(at(2, 200), rx_insert::resynced); // counted from 1 again, later on the clock
  EXPECT_EQ(w.pending, 1u) << "the old stream's tail is dropped";
  EXPECT_EQ(at(1, 199), rx_insert::stored) << "the new stream's first slice may still come";
  EXPECT_EQ(w.head, 1u);
  // Copies of the old stream still on the way: behind, inside or ahead of the new window.
  for (std::uint64_t old : {1u, 4u, 104u}) {
    EXPECT_EQ(at(old, static_cast<std::int64_t>(old)), rx_insert::late) << old;
  }
  EXPECT_EQ(at(3, 201), rx_insert::stored);
  EXPECT_EQ(drain(&missing), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(missing, 0u);
}

TEST_F(RxWindowRestart, EqualOrEarlierTimesBehindTheHeadNeverRestart) {
  at(10, 50);
  at(11, 50);
  std::uint64_t missing = 0;
  drain(&missing);
  EXPECT_EQ(at(5, 50), rx_insert::late);
  EXPECT_EQ(at(10, 49), rx_insert::duplicate);
  EXPECT_EQ(w.head, 12u);
}

} // namespace
