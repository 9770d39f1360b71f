// The instruction parsers: hex pairs, quoted text and the line classifier.
#include "instruction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace serialchat;
using bytes = std::vector<std::uint8_t>;

namespace {

bytes hex(std::string_view s, std::size_t capacity = data_capacity) {
  bytes out(capacity);
  auto n = parse_hex_bytes(s, out);
  out.resize(n ? *n : 0);
  return out;
}

std::string quoted(std::string_view s, std::size_t capacity = data_capacity) {
  bytes out(capacity);
  auto n = parse_quoted_text(s, out);
  return n ? std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n)) : "<none>";
}

instruction parsed(std::string_view line, parse_status expected = parse_status::ok) {
  instruction ins;
  EXPECT_EQ(parse_instruction(line, ins), expected) << line;
  return ins;
}

bytes data_of(const instruction &ins) { return {ins.bytes().begin(), ins.bytes().end()}; }
bytes mask_of(const instruction &ins) { return {ins.mask_bytes().begin(), ins.mask_bytes().end()}; }

} // namespace

TEST(ParseHexBytes, PairsUpToTheFirstNonPairAndNoFurtherThanTheOutput) {
  EXPECT_EQ(hex("aBcD"), (bytes{0xAB, 0xCD}));
  EXPECT_EQ(hex("123"), (bytes{0x12})) << "an odd last digit is ignored";
  EXPECT_EQ(hex("12G456"), (bytes{0x12}));
  EXPECT_EQ(hex("0102030405", 2), (bytes{0x01, 0x02}));
  for (auto none : {"1", "", "zz"})
    EXPECT_EQ(hex(none), bytes{}) << none;
}

TEST(ParseQuotedText, EscapesEmptinessAndSize) {
  EXPECT_EQ(quoted(R"(:"a\"b")"), "a\"b");
  EXPECT_EQ(quoted(R"(:"a\nb")"), "a\\nb") << "other backslashes stay";
  EXPECT_EQ(quoted(R"(:"a\nb\")"), "<none>") << "backslash-quote does not close the text";
  EXPECT_EQ(quoted(R"(:"")"), "<none>");
  EXPECT_EQ(quoted("no quotes"), "<none>");
  EXPECT_EQ(quoted(R"(:"abcd")", 3), "<none>");
  EXPECT_EQ(quoted(R"(:"abc")", 3), "abc");
}

TEST(ParseInstruction, SendAndWait) {
  for (auto line : {"s:01FF", "S:01FF", "s : 01FF", "s:01FFx"})
    EXPECT_EQ(data_of(parsed(line)), (bytes{0x01, 0xFF})) << line;
  auto text = parsed(R"(SA:"a\"b")");
  EXPECT_EQ(text.mode, data_mode::text);
  EXPECT_EQ(data_of(text), (bytes{'a', '"', 'b'}));
  EXPECT_EQ(parsed("W:100").kind, instruction_kind::wait);
  EXPECT_EQ(parsed("w: 100").time_ms, 100u);
  EXPECT_EQ(parsed("w:4294967295").time_ms, 4294967295u);
}

TEST(ParseInstruction, ReadsWithMasksAndSilence) {
  auto masked = parsed("R: 9040FF , 50 ,FFF0FF");
  EXPECT_EQ(masked.time_ms, 50u);
  EXPECT_EQ(data_of(masked), (bytes{0x90, 0x40, 0xFF}));
  EXPECT_EQ(mask_of(masked), (bytes{0xFF, 0xF0, 0xFF}));
  EXPECT_EQ(mask_of(parsed("r:9040FF,50")), (bytes{0xFF, 0xFF, 0xFF}));

  auto text = parsed(R"(ra:"baz 000",100,FFFFFFFF000000)");
  EXPECT_EQ(text.length, 7u);
  EXPECT_EQ(mask_of(text), (bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}));

  for (auto line : {"r:,200", "r : , 200", "RA:,200"}) {
    auto silence = parsed(line);
    EXPECT_TRUE(silence.read_timeout && silence.length == 0 && silence.time_ms == 200) << line;
  }
}

TEST(ParseInstruction, SkippedLines) {
  for (auto line : {"", "   ", "\t", "#", "# s:01"})
    parsed(line, parse_status::skip);
}

TEST(ParseInstruction, Errors) {
  for (auto line : {"x:01", "s:", "s:1", "sa:foo", "r:01", "r:01,", "r:,", "ra:\"x\"", "w:", "w :100", " s:01",
                    // a mask must cover the data exactly
                    "r:9040FF,50,FF", "r:9040FF,50,FFFFFFFF", "r:9040FF,50,F", "ra:\"ab\",50,FFFFFF",
                    // a TIME is a 32-bit count of milliseconds, never negative
                    "r:01,-5", "w:-1", "r:01,4294967296", "w:99999999999"})
    parsed(line, parse_status::error);
}
