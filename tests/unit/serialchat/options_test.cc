// Command-line values that are accepted or lead to the usage, and the framing options select.
#include "framing.h"
#include "options.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using namespace serialchat;

namespace {

std::optional<options> parse(std::vector<std::string> args) {
  // The options point into the arguments, which therefore live as long as the test program.
  static std::deque<std::vector<std::string>> keep;
  auto &kept = keep.emplace_back(std::move(args));
  kept.insert(kept.begin(), "serialchat");
  std::vector<char *> argv;
  for (auto &a : kept)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_options(static_cast<int>(kept.size()), argv.data());
}

} // namespace

TEST(Options, AcceptedAndRejectedValues) {
  for (long b : {600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
    EXPECT_TRUE(parse({"-b", std::to_string(b), "x"})) << b;
  EXPECT_EQ(parse({"-pO", "x"})->parity_mode, parity::odd);
  EXPECT_EQ(parse({"-p", "e", "x"})->parity_mode, parity::even);
  EXPECT_STREQ(parse({"-c", "/bin/cat", "x"})->coproc_cmd, "/bin/cat");
  EXPECT_FALSE(parse({"-b", "0", "x"}));
  EXPECT_FALSE(parse({"-b", "fast", "x"}));
  EXPECT_FALSE(parse({"-p", "oo", "x"}));
  EXPECT_FALSE(parse({"-c", "a", "-c", "b", "x"})) << "only one coprocess";
  EXPECT_FALSE(parse({"-b", "/dev/ttyS1"})) << "the device is never an option's value";
}

TEST(Framing, ReplacesSizeStopBitsAndParityOnly) {
  termios tio{};
  tio.c_cflag = CS5 | CSTOPB | PARENB | PARODD | CREAD | CLOCAL;
  options o;
  set_framing(tio, o);
  EXPECT_EQ(tio.c_cflag, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL)) << "8N1";
  o.seven_data_bits = true;
  o.parity_mode = parity::even;
  set_framing(tio, o);
  EXPECT_EQ(tio.c_cflag, static_cast<tcflag_t>(CS7 | PARENB | CREAD | CLOCAL)) << "7E1";
  o.seven_data_bits = false;
  o.parity_mode = parity::odd;
  o.two_stop_bits = true;
  set_framing(tio, o);
  EXPECT_EQ(tio.c_cflag, static_cast<tcflag_t>(CS8 | PARENB | PARODD | CSTOPB | CREAD | CLOCAL)) << "8O2";
}
