#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "ts_stream.h"

namespace {

TEST(TsStream, SectionsCarryAValidCrcAndCountersRunWithoutFaults) {
  ts_stream s;
  ts_stream_init(&s, 7, 20000000);
  std::map<unsigned, int> last_cc;
  std::map<unsigned, int> per_pid;
  std::uint8_t p[ts_size];
  std::uint64_t last_pcr = 0;
  for (int i = 0; i < 5000; ++i) {
    ts_stream_next(&s, p);
    ASSERT_EQ(p[0], 0x47);
    ASSERT_EQ(p[1] & 0x80, 0); // no transport errors
    const unsigned pid = ((p[1] & 0x1Fu) << 8) | p[2];
    const int cc = p[3] & 0x0F;
    ++per_pid[pid];
    if (pid != ts_pid_null && last_cc.count(pid)) {
      ASSERT_EQ((last_cc[pid] + 1) & 0x0F, cc) << "pid " << pid << " packet " << i;
    }
    last_cc[pid] = cc;
    if (pid == ts_pid_pat || pid == ts_pid_pmt) {
      // The CRC over a whole section, its own CRC included, is zero.
      const std::size_t len = 3 + (((p[6] & 0x0Fu) << 8) | p[7]);
      EXPECT_EQ(ts_crc32(std::span<const std::uint8_t>(p + 5, len)), 0u);
    }
    if (pid == ts_pid_video && (p[3] & 0x20) && (p[5] & 0x10)) {
      const std::uint64_t base = (std::uint64_t{p[6]} << 25) | (std::uint64_t{p[7]} << 17) | (std::uint64_t{p[8]} << 9) |
                                 (std::uint64_t{p[9]} << 1) | (p[10] >> 7);
      EXPECT_GT(base, last_pcr);
      last_pcr = base;
    }
  }
  EXPECT_GT(per_pid[ts_pid_video], per_pid[ts_pid_audio]);
  EXPECT_GT(per_pid[ts_pid_audio], 0);
  EXPECT_GT(per_pid[ts_pid_null], 0);
  EXPECT_EQ(per_pid[ts_pid_pat], 13);
  EXPECT_GT(last_pcr, 0u);
}

TEST(TsStream, TheSeedDecidesTheBytes) {
  ts_stream a, b, c;
  ts_stream_init(&a, 1, 1000000);
  ts_stream_init(&b, 1, 1000000);
  ts_stream_init(&c, 2, 1000000);
  std::uint8_t pa[ts_size], pb[ts_size], pc[ts_size];
  bool differs = false;
  for (int i = 0; i < 100; ++i) {
    ts_stream_next(&a, pa);
    ts_stream_next(&b, pb);
    ts_stream_next(&c, pc);
    ASSERT_EQ(0, std::memcmp(pa, pb, ts_size));
    differs = differs || std::memcmp(pa, pc, ts_size) != 0;
  }
  EXPECT_TRUE(differs);
}

} // namespace
