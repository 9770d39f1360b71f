// Wall-clock seconds past 2^31 (19 January 2038, 03:14:08 UTC): the log stamp, and wire time
// stamps converted to nanoseconds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>

#include "nk_context.h"
#include "rx_parse.h"
#include "tun_time.h"

static_assert(sizeof(std::time_t) == 8, "a 32-bit time_t wraps in January 2038");
static_assert(sizeof(off_t) == 8, "file offsets must not stop at 2 GiB");

namespace {

class Utc : public ::testing::Test {
protected:
  void SetUp() override {
    const char *tz = std::getenv("TZ");
    saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

private:
  std::optional<std::string> saved_;
};

TEST_F(Utc, LogStampsAcrossTheEndOf32BitTime) {
  struct row {
    std::int64_t when;
    const char *line;
  };
  const row rows[] = {
      {2147483647, "2038-01-19 03:14:07 x\n"}, // the last second a 32-bit time_t holds
      {2147483648, "2038-01-19 03:14:08 x\n"}, // the first one it cannot
      {4294967296, "2106-02-07 06:28:16 x\n"}, // past an unsigned 32-bit count as well
      {4102444800, "2100-01-01 00:00:00 x\n"},
  };
  for (const row &r : rows) {
    char out[64];
    ASSERT_TRUE(nk_format_stderr_line(out, sizeof out, static_cast<std::time_t>(r.when), "x")) << r.when;
    EXPECT_STREQ(out, r.line) << r.when;
  }
}

TEST(Time, TheClockReadsBeyond32BitSecondsIntoTheTransmittersTimeValue) {
  timespec ts{};
  ts.tv_sec = static_cast<std::time_t>(std::int64_t{3000000000});
  ts.tv_nsec = 5;
  const timespec64 t = timespec64_from(ts);
  EXPECT_EQ(t.tv_sec, 3000000000);
  EXPECT_EQ(t.tv_nsec, 5);
}

TEST(Time, WireStampsPast32BitSecondsBecomeNanosecondsWithoutWrapping) {
  struct row {
    std::uint64_t sec;
    std::uint64_t nsec;
    bool ok;
    std::int64_t ns;
  };
  const row rows[] = {
      {2147483648u, 1, true, INT64_C(2147483648000000001)},
      {4294967296u, 999999999, true, INT64_C(4294967296999999999)},
      {(std::uint64_t{1} << 33) - 1, 999999999, true, INT64_C(8589934591999999999)},
      {std::uint64_t{1} << 33, 0, false, 0}, // the first refused: kept well inside int64
      {5, 1000000000, false, 0},             // not normalised
  };
  for (const row &r : rows) {
    std::uint8_t b[16];
    for (int i = 0; i < 8; ++i) {
      b[i] = static_cast<std::uint8_t>(r.sec >> (8 * i));
      b[8 + i] = static_cast<std::uint8_t>(r.nsec >> (8 * i));
    }
    std::int64_t ns = 0;
    EXPECT_EQ(rx_read_time(b, &ns), r.ok) << r.sec << "." << r.nsec;
    if (r.ok) {
      EXPECT_EQ(ns, r.ns) << r.sec;
    }
  }
}

} // namespace
