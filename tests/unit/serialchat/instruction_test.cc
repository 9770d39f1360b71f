// The instruction parsers: hex pairs, quoted text and the line classifier.
#include "instruction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace serialchat;

namespace {

std::vector<std::uint8_t> hex(std::string_view s, std::size_t capacity = data_capacity) {
  std::vector<std::uint8_t> out(capacity);
  auto n = parse_hex_bytes(s, out);
  if (!n)
    return {};
  out.resize(*n);
  return out;
}

std::string quoted(std::string_view s, std::string *rest = nullptr, std::size_t capacity = data_capacity) {
  std::vector<std::uint8_t> out(capacity);
  std::string_view r;
  auto n = parse_quoted_text(s, out, &r);
  if (!n)
    return "<none>";
  if (rest)
    *rest = std::string(r);
  return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n));
}

using bytes = std::vector<std::uint8_t>;

} // namespace

TEST(ParseHexBytes, PairsUpToTheFirstNonPair) {
  EXPECT_EQ(hex("8101044704000000FF"), (bytes{0x81, 0x01, 0x04, 0x47, 0x04, 0x00, 0x00, 0x00, 0xFF}));
  EXPECT_EQ(hex("aBcD"), (bytes{0xAB, 0xCD}));
  EXPECT_EQ(hex("123"), (bytes{0x12})) << "an odd last digit is ignored";
  EXPECT_EQ(hex("12G456"), (bytes{0x12}));
  EXPECT_EQ(hex("1"), bytes{});
  EXPECT_EQ(hex(""), bytes{});
  EXPECT_EQ(hex("zz"), bytes{});
}

TEST(ParseHexBytes, NeverWritesPastTheOutput) {
  EXPECT_EQ(hex("0102030405", 2), (bytes{0x01, 0x02}));
}

TEST(ParseQuotedText, EscapedQuotesAndPlainBackslashes) {
  EXPECT_EQ(quoted(R"(:"foo bar")"), "foo bar");
  EXPECT_EQ(quoted(R"(:"a\"b")"), "a\"b");
  EXPECT_EQ(quoted(R"(:"a\nb\")"), "<none>") << "backslash-quote does not close the text";
  EXPECT_EQ(quoted(R"(:"a\nb")"), "a\\nb") << "other backslashes stay";
  std::string rest;
  EXPECT_EQ(quoted(R"(ra:"baz 000",100,FF)", &rest), "baz 000");
  EXPECT_EQ(rest, ",100,FF");
}

TEST(ParseQuotedText, RejectsEmptyUnterminatedAndOversizedText) {
  EXPECT_EQ(quoted(R"(:"")"), "<none>");
  EXPECT_EQ(quoted(R"(:"abc)"), "<none>");
  EXPECT_EQ(quoted("no quotes"), "<none>");
  EXPECT_EQ(quoted(R"(:"abcd")", nullptr, 3), "<none>");
  EXPECT_EQ(quoted(R"(:"abc")", nullptr, 3), "abc");
}

TEST(StripLineEnd, LineFeedThenCarriageReturn) {
  EXPECT_EQ(strip_line_end("s:01\r\n"), "s:01");
  EXPECT_EQ(strip_line_end("s:01\n"), "s:01");
  EXPECT_EQ(strip_line_end("s:01\r"), "s:01");
  EXPECT_EQ(strip_line_end("s:01\n\r"), "s:01\n");
}

namespace {

struct parsed {
  parse_status status;
  instruction ins;
};

parsed parse(std::string_view line) {
  parsed p{};
  p.status = parse_instruction(line, p.ins);
  return p;
}

bytes data_of(const instruction &ins) { return {ins.bytes().begin(), ins.bytes().end()}; }
bytes mask_of(const instruction &ins) { return {ins.mask_bytes().begin(), ins.mask_bytes().end()}; }

} // namespace

TEST(ParseInstruction, SendBytesAndText) {
  for (auto line : {"s:01FF", "S:01FF", "s : 01FF", "s:01FFx"}) {
    auto p = parse(line);
    ASSERT_EQ(p.status, parse_status::ok) << line;
    EXPECT_EQ(p.ins.kind, instruction_kind::send);
    EXPECT_EQ(p.ins.mode, data_mode::bytes);
    EXPECT_EQ(data_of(p.ins), (bytes{0x01, 0xFF})) << line;
  }
  auto t = parse(R"(SA:"a\"b")");
  ASSERT_EQ(t.status, parse_status::ok);
  EXPECT_EQ(t.ins.mode, data_mode::text);
  EXPECT_EQ(data_of(t.ins), (bytes{'a', '"', 'b'}));
}

TEST(ParseInstruction, ReadWithAndWithoutMask) {
  auto p = parse("r:9040FF,50,FFF0FF");
  ASSERT_EQ(p.status, parse_status::ok);
  EXPECT_EQ(p.ins.kind, instruction_kind::read);
  EXPECT_FALSE(p.ins.read_timeout);
  EXPECT_EQ(p.ins.time_ms, 50u);
  EXPECT_EQ(data_of(p.ins), (bytes{0x90, 0x40, 0xFF}));
  EXPECT_EQ(mask_of(p.ins), (bytes{0xFF, 0xF0, 0xFF}));

  auto plain = parse("R: 9040FF , 50");
  ASSERT_EQ(plain.status, parse_status::ok);
  EXPECT_EQ(mask_of(plain.ins), (bytes{0xFF, 0xFF, 0xFF}));

  auto text = parse(R"(ra:"baz 000",100,FFFFFFFF000000)");
  ASSERT_EQ(text.status, parse_status::ok);
  EXPECT_EQ(text.ins.mode, data_mode::text);
  EXPECT_EQ(text.ins.length, 7u);
  EXPECT_EQ(text.ins.time_ms, 100u);
  EXPECT_EQ(mask_of(text.ins), (bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}));
}

TEST(ParseInstruction, MaskMustCoverTheDataExactly) {
  EXPECT_EQ(parse("r:9040FF,50,FF").status, parse_status::error);
  EXPECT_EQ(parse("r:9040FF,50,FFFFFFFF").status, parse_status::error);
  EXPECT_EQ(parse("r:9040FF,50,F").status, parse_status::error);
  EXPECT_EQ(parse(R"(ra:"ab",50,FFFFFF)").status, parse_status::error);
}

TEST(ParseInstruction, ExpectSilence) {
  for (auto line : {"r:,200", "r : , 200", "ra:,200", "RA:,200"}) {
    auto p = parse(line);
    ASSERT_EQ(p.status, parse_status::ok) << line;
    EXPECT_TRUE(p.ins.read_timeout);
    EXPECT_EQ(p.ins.length, 0u);
    EXPECT_EQ(p.ins.time_ms, 200u);
  }
  EXPECT_EQ(parse("ra:,200").ins.mode, data_mode::text);
}

TEST(ParseInstruction, WaitNeedsTheColonRightAfterTheLetter) {
  auto p = parse("W:100");
  ASSERT_EQ(p.status, parse_status::ok);
  EXPECT_EQ(p.ins.kind, instruction_kind::wait);
  EXPECT_EQ(p.ins.time_ms, 100u);
  EXPECT_EQ(parse("w: 100").status, parse_status::ok);
  EXPECT_EQ(parse("w :100").status, parse_status::error);
}

TEST(ParseInstruction, CommentsAndBlankLinesAreSkipped) {
  for (auto line : {"", "   ", "\t", "#", "# s:01", "#garbage"})
    EXPECT_EQ(parse(line).status, parse_status::skip) << '"' << line << '"';
}

TEST(ParseInstruction, Errors) {
  for (auto line : {"x:01", "s:", "s:G1", "s:1", "sa:\"\"", "sa:foo", "r:01", "r:01,", "r:,", "ra:\"x\"",
                    "w:", "w:abc", " s:01", "r:01,-5", "w:-1", "r:01,4294967296", "w:99999999999"})
    EXPECT_EQ(parse(line).status, parse_status::error) << line;
  EXPECT_EQ(parse("w:4294967295").ins.time_ms, 4294967295u);
}
