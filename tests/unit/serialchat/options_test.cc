// Command-line parsing: values that are accepted, everything that leads to the usage, and the
// framing the options select.
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

TEST(Options, DefaultsAndDeviceLast) {
  auto o = parse({"/dev/ttyS1"});
  ASSERT_TRUE(o);
  EXPECT_STREQ(o->device, "/dev/ttyS1");
  EXPECT_EQ(o->speed, B9600);
  EXPECT_EQ(o->parity_mode, parity::none);
  EXPECT_FALSE(o->rs485_enabled);
  EXPECT_EQ(o->coproc_cmd, nullptr);
}

TEST(Options, AllFlags) {
  auto o = parse({"-b", "115200", "-pO", "-2", "-7", "-qsueti", "-r", "-c", "/bin/cat", "/dev/ttyS1"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->speed, B115200);
  EXPECT_EQ(o->parity_mode, parity::odd);
  EXPECT_TRUE(o->two_stop_bits && o->seven_data_bits && o->quiet && o->print_sent && o->print_unexpected &&
              o->errors_to_stdout && o->print_timing && o->cont && o->crlf);
  EXPECT_STREQ(o->coproc_cmd, "/bin/cat");
  EXPECT_EQ(parse({"-p", "E", "x"})->parity_mode, parity::even);
}

TEST(Options, EveryOfferedSpeed) {
  for (long b : {600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200})
    EXPECT_TRUE(parse({"-b", std::to_string(b), "x"})) << b;
}

TEST(Options, UsageCases) {
  EXPECT_FALSE(parse({}));
  EXPECT_FALSE(parse({"-b", "9601", "x"}));
  EXPECT_FALSE(parse({"-b", "0", "x"}));
  EXPECT_FALSE(parse({"-b", "fast", "x"}));
  EXPECT_FALSE(parse({"-p", "n", "x"}));
  EXPECT_FALSE(parse({"-p", "oo", "x"}));
  EXPECT_FALSE(parse({"-4", "x"}));
  EXPECT_FALSE(parse({"-z", "x"}));
  EXPECT_FALSE(parse({"-c", "a", "-c", "b", "x"}));
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
