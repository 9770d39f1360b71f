#include <gtest/gtest.h>

#include "capture.h"
#include "startup.h"
#include "tx_fixture.h"

namespace {

TEST(Options, BandwidthCapsOnlyEarlierOutputs) {
  fd_capture quiet;
  auto t = parsed({"-d", "127.0.0.1:5000", "-e", "10528", "-d", "127.0.0.1:6000"});
  ASSERT_EQ(t->tr_count, 2u);
  EXPECT_EQ(t->tr->bw.max, 1000u);
  EXPECT_EQ(t->tr->next->bw.max, 0u);
  auto later = parsed({"-e", "10528", "-d", "127.0.0.1:5000"});
  EXPECT_EQ(later->tr->bw.max, 0u);
}

TEST(Options, BandwidthBeyond32BitProductsDoesNotOverflow) {
  EXPECT_EQ(tx_bandwidth_cap(2147483647), 203978309ull); // 2147483647000 / 10528
  EXPECT_EQ(tx_bandwidth_cap(10527), 999ull);
}

TEST(Options, PortRangeOnlyForLaterOutputs) {
  fd_capture quiet;
  auto t = parsed({"-k", "4", "-d", "127.0.0.1:5000", "-k", "2", "-d", "127.0.0.1:6000", "-k", "9"});
  EXPECT_EQ(t->tr->port_range_size, 4u);
  EXPECT_EQ(t->tr->port, 5000u);
  EXPECT_EQ(t->tr->next_port, 5000u);
  EXPECT_EQ(t->tr->next->port_range_size, 2u);
  EXPECT_EQ(t->port_range_size, 9u);
  EXPECT_EQ(t->tr->next->id, 1);
  EXPECT_EQ(t->tr->next->prev, t->tr);
}

TEST(Options, NewOutputStartsAtSliceOneAndWantsToDescribeItself) {
  fd_capture quiet;
  auto t = parsed({"-d", ":7000"});
  transmission *tr = t->tr;
  EXPECT_EQ(tr->next_slice, 1u);
  EXPECT_EQ(tr->first_to_repeat, 1u);
  EXPECT_EQ(tr->info_request, 1);
  EXPECT_EQ(tr->active_flag, 1);
  EXPECT_EQ(tr->sin.sin_addr.s_addr, 0u);
  EXPECT_EQ(tr->last_ping.tv_sec, t->now.tv_sec);
  EXPECT_GE(tr->sock, 0);
}

TEST(Options, FecLevelKeptInEightBits) {
  fd_capture quiet;
  EXPECT_EQ(parsed({"-f", "1"})->fec, 2);
  EXPECT_EQ(parsed({"-f", "0"})->fec, 0);
  EXPECT_EQ(parsed({"-f", "3"})->fec, 4);
  EXPECT_EQ(parsed({"-f", "255"})->fec, 0);
  EXPECT_EQ(parsed({"-f", "256"})->fec, 0);
  EXPECT_EQ(parsed({"-f", "abc"})->fec, 0);
}

TEST(Options, EncryptionRecordOnceAndAes256WhenLAtAll) {
  fd_capture quiet;
  auto k = parsed({"-K"});
  ASSERT_TRUE(k->aes);
  EXPECT_EQ(k->aes->flags & AES_FLAG_256, 0);
  EXPECT_EQ(k->aes->nk, &k->nk);
  for (auto args : {std::vector<std::string>{"-K", "-L"}, {"-L", "-K"}, {"-L"}, {"-L", "-K", "-K"}}) {
    auto t = parsed(args);
    ASSERT_TRUE(t->aes);
    EXPECT_NE(t->aes->flags & AES_FLAG_256, 0);
  }
  EXPECT_FALSE(parsed({"-6"})->aes);
}

TEST(Options, LastOccurrenceWinsAndNumbersFollowAtoi) {
  fd_capture quiet;
  auto t = parsed({"-o", "100", "-o", "250", "-6", "-5", "-u", "10", "-U", "-1", "-N", "-1", "-E", "7x", "-p",
                   "node", "-b"});
  EXPECT_EQ(t->delay, 250u);
  EXPECT_EQ(t->protocol_version, 5);
  EXPECT_EQ(t->ping_timeout_exit_ms, 10000u);
  EXPECT_EQ(t->ping_timeout_resocket_ms, 4294966296u); // -1000 stored unsigned
  EXPECT_EQ(t->info.node_no, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(t->info.endpoint_no, 7u);
  EXPECT_EQ(*t->machine_prefix, "node");
  EXPECT_EQ(t->flags & TX_FLAG_BACKUP, TX_FLAG_BACKUP);
}

TEST(Options, DescriptionTextsKeep127Characters) {
  fd_capture quiet;
  const std::string long_text(200, 'c');
  auto t = parsed({"-C", long_text, "-D", "short"});
  EXPECT_EQ(*t->info.cluster_name, std::string(127, 'c'));
  EXPECT_EQ(*t->info.description, "short");
  EXPECT_FALSE(parsed({})->info.cluster_name);
}

TEST(Options, StatisticsServersParsedWithDefaultPort) {
  fd_capture quiet;
  auto t = parsed({"-r", "10.0.0.5", "-c", "10.0.0.6:700"});
  EXPECT_EQ(*t->rrd.ip, "10.0.0.5");
  EXPECT_EQ(t->rrd.port, 668);
  EXPECT_EQ(*t->rrd2.ip, "10.0.0.6");
  EXPECT_EQ(t->rrd2.port, 700);
}

TEST(Options, DefaultsBeforeParsing) {
  tesseltx t{};
  tx_defaults(&t);
  EXPECT_EQ(t.next, 1u);
  EXPECT_EQ(t.port_range_size, 1u);
  EXPECT_EQ(t.protocol_version, 7);
  EXPECT_EQ(t.stats_interval, 1);
  EXPECT_EQ(t.cc[0], 0xFF);
  EXPECT_EQ(t.cc[8191], 0xFF);
  EXPECT_EQ(t.socket, 0);
  EXPECT_GT(t.now.tv_sec + t.now.tv_nsec, 0);
}

TEST(Options, HelpAndVersionEndParsing) {
  fd_capture out(STDOUT_FILENO);
  tx_parse_result r;
  parsed({"-v", "-o", "7"}, &r);
  EXPECT_EQ(r, tx_parse_result::exit_ok);
  parsed({"-o", "7"}, &r);
  EXPECT_EQ(r, tx_parse_result::run);
  EXPECT_EQ(out.text(), "Tessel-TX 17.0.4 build 64a15723 (protocol version: 5 - 7)\n");
}

TEST(BufferPlan, SizesFromDelayAndCap) {
  auto p = tx_plan_buffer(1000, 1000);
  EXPECT_EQ(p.required, 1000u);
  EXPECT_EQ(p.buff_size, 4096);
  p = tx_plan_buffer(5000, 20000);
  EXPECT_EQ(p.required, 100000u);
  EXPECT_EQ(p.buff_size, 262144);
  EXPECT_EQ(tx_plan_buffer(10000, 40000).buff_size, 0);
  EXPECT_EQ(tx_plan_buffer(0, 40000).buff_size, 4096);
  EXPECT_EQ(tx_plan_buffer(1000, 0).buff_size, 4096);
  // target = 1.5 x required: 2730 -> 4095 still fits 4096; 2731 -> 4096 needs 8192
  EXPECT_EQ(tx_plan_buffer(1000, 2730).buff_size, 4096);
  EXPECT_EQ(tx_plan_buffer(1000, 2731).buff_size, 8192);
  EXPECT_EQ(tx_plan_buffer(1000, 349525).buff_size, 524288); // target 524287
  EXPECT_EQ(tx_plan_buffer(1000, 349526).buff_size, 0);      // target 524289
  EXPECT_EQ(tx_plan_buffer(4294967295u, 203979337ull).buff_size, 0) << "no 64-bit overflow";
}

} // namespace
