// Printed line shapes beyond what the process tests see: bytes a device may send in text mode,
// and time stamps past the padding width.
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

TEST(PrintLine, TextKeepsEveryByte) {
  capture c;
  const std::vector<std::uint8_t> text{'o', 0, 'k'};
  print_line(c.file(), output_style{}, std::nullopt, text, data_mode::text, label_send);
  EXPECT_EQ(c.text(), std::string("\"o\0k\"\tSEND\n", 11)) << "a NUL does not cut the line";
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
