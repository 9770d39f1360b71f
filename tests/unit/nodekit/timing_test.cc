#include <gtest/gtest.h>

#include "nk_timing.h"

namespace {

// Burns processor time on this thread so that the CPU clock moves.
void spin(int rounds) {
  volatile unsigned sink = 0;
  for (int i = 0; i < rounds; ++i) {
    sink = sink + static_cast<unsigned>(i);
  }
}

TEST(Timing, SpanCarriesAcrossTheSecond) {
  EXPECT_EQ(nk_t_span_us(timespec{1, 999999500}, timespec{2, 400}), 1u);
  EXPECT_EQ(nk_t_span_us(timespec{5, 0}, timespec{5, 999}), 0u); // sub-microsecond truncates
  EXPECT_EQ(nk_t_span_us(timespec{0, 0}, timespec{3, 250000}), 3000250u);
}

TEST(Timing, AccumulatorsWrapModulo2To32) {
  NKCx c{};
  std::uint32_t acc32 = 0xFFFFFFFFu;
  nk_t_start(&c);
  spin(2000000);
  nk_t_end(&c, &acc32);
  EXPECT_LT(acc32, 1000000u) << "wrapped, not saturated";

  std::uint64_t acc64 = 0xFFFFFFFFull;
  nk_t_start(&c);
  spin(2000000);
  nk_t_end(&c, &acc64);
  EXPECT_LT(acc64, 1000000ull) << "only the low 32 bits accumulate";
}

TEST(Timing, NestedSpansIncludeInnerOnes) {
  NKCx c{};
  std::uint64_t inner = 0;
  std::uint64_t outer = 0;
  nk_t_start(&c);
  spin(3000000);
  nk_t_start(&c);
  spin(3000000);
  nk_t_end(&c, &inner);
  nk_t_end(&c, &outer);
  EXPECT_GT(inner, 0u);
  EXPECT_GT(outer, inner);
  EXPECT_EQ(c.timing_stack_pos, 0);
}

TEST(TimingDeathTest, FifthNestedStartAborts) {
  NKCx c{};
  for (int i = 0; i < 4; ++i) {
    nk_t_start(&c);
  }
  EXPECT_DEATH(nk_t_start(&c), "");
}

TEST(TimingDeathTest, EndWithoutStartAborts) {
  NKCx c{};
  std::uint64_t acc = 0;
  EXPECT_DEATH(nk_t_end(&c, &acc), "");
}

TEST(MsDelay, SignedMilliseconds) {
  timespec a{1, 900000000};
  timespec b{3, 100000000};
  EXPECT_EQ(nk_ms_delay(&a, &b), 1200);
  EXPECT_EQ(nk_ms_delay(&b, &a), -1200);
  timespec c{3, 100999999};
  EXPECT_EQ(nk_ms_delay(&b, &c), 0);
}

} // namespace

namespace {

struct sampling {
  NKCx *c;
  explicit sampling(NKCx *ctx, std::uint32_t scale) : c(ctx) { nk_t_sample(c, scale); }
  ~sampling() { nk_t_sample(c, 1); }
};

TEST(TimingSample, UntimedSpansKeepTheStackAndAddNothing) {
  NKCx c{};
  sampling off(&c, 0);
  std::uint64_t acc = 7;
  nk_t_start(&c);
  nk_t_start(&c);
  spin(2000000);
  nk_t_end(&c, &acc);
  nk_t_end(&c, &acc);
  EXPECT_EQ(acc, 7u);
  EXPECT_EQ(c.timing_stack_pos, 0);
}

TEST(TimingSample, TimedSpansCountForTheSkippedOnesAndOtherContextsStayExact) {
  NKCx c{};
  NKCx other{};
  std::uint64_t weighted = 0;
  std::uint64_t plain = 0;
  {
    sampling on(&c, 8);
    for (int i = 0; i < 5; ++i) {
      nk_t_start(&c);
      nk_t_start(&other);
      spin(1000000);
      nk_t_end(&other, &plain);
      nk_t_end(&c, &weighted);
    }
  }
  ASSERT_GT(plain, 0u);
  // Both contexts time the same spans at the same moments, so only the weight sets them apart
  // (spans timed apart in time differ by twice on a busy machine). Eight times over, with a
  // margin for the clocks' jitter; had the other context taken the weight too, they would match.
  EXPECT_GT(weighted, plain * 4);
  EXPECT_LT(weighted, plain * 16) << "the sampling weight belongs to its own context only";
}

} // namespace
