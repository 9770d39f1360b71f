// Printed line shapes: hex and text data, labels, time stamps, line ends, the timeout report.
#include "output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace serialchat;

namespace {

// Collects what one call prints into a string.
class capture {
public:
  capture() : f_(open_memstream(&buf_, &len_)) {}
  ~capture() {
    if (f_)
      std::fclose(f_);
    std::free(buf_);
  }
  std::FILE *file() { return f_; }
  std::string text() {
    std::fflush(f_);
    return std::string(buf_, len_);
  }

private:
  char *buf_ = nullptr;
  std::size_t len_ = 0;
  std::FILE *f_;
};

const std::vector<std::uint8_t> sample{0x90, 0x4F, 0x0A};

} // namespace

TEST(PrintLine, HexTextAndLabels) {
  output_style plain;
  capture a;
  print_line(a.file(), plain, std::nullopt, sample, data_mode::bytes, nullptr);
  EXPECT_EQ(a.text(), "904F0A\n");
  capture b;
  print_line(b.file(), plain, 5000, sample, data_mode::bytes, label_unexpected);
  EXPECT_EQ(b.text(), "904F0A\tUNEXPECTED\n") << "no stamp without -t";
  capture c;
  const std::vector<std::uint8_t> text{'o', 0, 'k'};
  print_line(c.file(), plain, std::nullopt, text, data_mode::text, label_send);
  EXPECT_EQ(c.text(), std::string("\"o\0k\"\tSEND\n", 11)) << "a NUL does not cut the line";
  capture d;
  print_line(d.file(), plain, std::nullopt, {}, data_mode::text, label_empty);
  EXPECT_EQ(d.text(), "\"\"\t\n");
}

TEST(PrintLine, TimeStampsAndCrLf) {
  output_style style{"\r\n", true};
  capture a;
  print_line(a.file(), style, 12345678, sample, data_mode::bytes, label_empty);
  EXPECT_EQ(a.text(), "00012.345 904F0A\t\r\n");
  capture b;
  print_line(b.file(), style, std::nullopt, sample, data_mode::bytes, nullptr);
  EXPECT_EQ(b.text(), "904F0A\r\n") << "lines for the coprocess carry no stamp";
  capture c;
  print_line(c.file(), style, 100000999999LL, sample, data_mode::bytes, nullptr);
  EXPECT_EQ(c.text(), "100000.999 904F0A\r\n");
}

TEST(PrintTimeout, ExpectedDataAndMask) {
  instruction ins;
  ASSERT_EQ(parse_instruction("r:9040FF,50,FFF0FF", ins), parse_status::ok);
  capture a;
  print_timeout(a.file(), output_style{}, 1000, ins);
  EXPECT_EQ(a.text(), "---- TIMEOUT(50ms): 9040FF FFF0FF\n");

  ASSERT_EQ(parse_instruction(R"(ra:"ok",7)", ins), parse_status::ok);
  capture b;
  print_timeout(b.file(), output_style{"\n", true}, 2001000, ins);
  EXPECT_EQ(b.text(), "00002.001 ---- TIMEOUT(7ms): \"ok\" FFFF\n");

  ASSERT_EQ(parse_instruction("r:,200", ins), parse_status::ok);
  capture c;
  print_timeout(c.file(), output_style{}, 0, ins);
  EXPECT_EQ(c.text(), "---- TIMEOUT(200ms):  \n");
}

TEST(PrintUsage, UsesTheBaseNameOfItsPath) {
  capture a;
  print_usage(a.file(), "/usr/local/bin/serialchat");
  std::string text = a.text();
  EXPECT_EQ(text.rfind("usage: serialchat [-b BAUDRATE]", 0), 0u);
  EXPECT_NE(text.find("   -r : use \\r\\n as end-of-line\n"), std::string::npos);
}
