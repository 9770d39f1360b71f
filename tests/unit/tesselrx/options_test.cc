#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "rx_options.h"

namespace {

rx_parse_result parse(std::vector<const char *> args, rx_options *o) {
  static NKCx nk{};
  args.insert(args.begin(), "tesselrx");
  return rx_parse_options(&nk, static_cast<int>(args.size()), const_cast<char **>(args.data()), o);
}

TEST(RxOptions, FullCommandLine) {
  rx_options o;
  ASSERT_EQ(parse({"-s", "127.0.0.1:5000", "-k", "4", "-o", "250", "-d", "127.0.0.2:6000", "-6", "-N", "7", "-D",
                   "far end"},
                  &o),
            rx_parse_result::run);
  EXPECT_EQ(o.listen_ip.s_addr, htonl(0x7F000001));
  EXPECT_EQ(o.port, 5000);
  EXPECT_EQ(o.port_count, 4u);
  EXPECT_EQ(o.engine.latency_ns, 250000000);
  EXPECT_EQ(o.output, rx_output_kind::udp);
  EXPECT_EQ(ntohs(o.destination.sin_port), 6000);
  EXPECT_EQ(o.engine.protocol_version, 6);
  EXPECT_EQ(o.engine.info.node_no, 7u);
  EXPECT_EQ(o.engine.info.description, "far end");
}

TEST(RxOptions, DefaultsAndAnyAddress) {
  rx_options o;
  ASSERT_EQ(parse({"-s", ":5000", "-w", "-"}, &o), rx_parse_result::run);
  EXPECT_EQ(o.listen_ip.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(o.port_count, 1u);
  EXPECT_EQ(o.latency_ms, 300u);
  EXPECT_EQ(o.engine.protocol_version, 7);
  EXPECT_EQ(o.output, rx_output_kind::file);
  EXPECT_EQ(o.file, "-");
}

TEST(RxOptions, WindowHoldsTwiceTheLatencyAtTheRate) {
  EXPECT_EQ(rx_window_slices(0, 100000), 4096u);
  EXPECT_EQ(rx_window_slices(1000, 100000), 2u * 9499);
  EXPECT_EQ(rx_window_slices(300, 800000), 2u * 75988 * 300 / 1000);
  rx_options o;
  ASSERT_EQ(parse({"-s", ":5000", "-o", "500", "-e", "400000", "-w", "x"}, &o), rx_parse_result::run);
  EXPECT_EQ(o.engine.window_slices, 2u * 37994 / 2);
}

TEST(RxOptionsDeathTest, ConfigurationErrorsStopWithStatus255) {
  rx_options o;
  EXPECT_EXIT(parse({"-s", ":5000"}, &o), ::testing::ExitedWithCode(255), "No output given");
  EXPECT_EXIT(parse({"-w", "x"}, &o), ::testing::ExitedWithCode(255), "No tunnel port given");
  EXPECT_EXIT(parse({"-s", ":65535", "-k", "2", "-w", "x"}, &o), ::testing::ExitedWithCode(255), "runs past 65535");
  EXPECT_EXIT(parse({"-s", ":5000", "-o", "abc", "-w", "x"}, &o), ::testing::ExitedWithCode(255), "Invalid value for -o");
  EXPECT_EXIT(parse({"-s", "5000", "-w", "x"}, &o), ::testing::ExitedWithCode(255), "No port number given");
  EXPECT_EXIT(parse({"-s", ":5000", "-o", "10000", "-e", "10000000", "-w", "x"}, &o), ::testing::ExitedWithCode(255),
              "too large");
  EXPECT_EXIT(parse({"-s", ":5000", "-K", "-6", "-w", "x"}, &o), ::testing::ExitedWithCode(255),
              "Unable to use Encryption on proto v6. Required proto >= v7");
}

} // namespace
