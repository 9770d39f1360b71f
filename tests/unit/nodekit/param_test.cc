#include <gtest/gtest.h>

#include <array>
#include <string>

#include "nk_param.h"

namespace {

std::string value_of(const char *params, const char *name, int blen = 64) {
  char buf[64] = "untouched";
  if (!nk_param_str(params, name, buf, blen)) {
    return std::string("<absent:") + buf + ">";
  }
  return buf;
}

TEST(ParamStr, LooksUpItemsAndStopsAtTheNextComma) {
  EXPECT_EQ(value_of("a=1, b=0x10", "b"), "0x10");
  EXPECT_EQ(value_of("a=1, b=0x10", "a"), "1");
  EXPECT_EQ(value_of("a=1,\tb=2,c=", "c"), "");
  EXPECT_EQ(value_of("a=1, b=0x10", "c"), "<absent:untouched>");
  EXPECT_EQ(value_of("", "a"), "<absent:untouched>");
  EXPECT_EQ(value_of("ab=1", "a"), "<absent:untouched>") << "a prefix of a name is not the name";
  EXPECT_EQ(value_of("a", "a"), "<absent:untouched>");
}

TEST(ParamStr, ValueIsCutToTheBuffer) { EXPECT_EQ(value_of("name=abcdef", "name", 4), "abc"); }

TEST(ParamNum, NumbersInAnyBaseElseDefault) {
  EXPECT_EQ(nk_param_num("a=1, b=0x10", "b", -1), 16);
  EXPECT_EQ(nk_param_num("a=1, b=0x10", "a", -1), 1);
  EXPECT_EQ(nk_param_num("a=010", "a", -1), 8);
  EXPECT_EQ(nk_param_num("a=12 ", "a", -1), 12);
  EXPECT_EQ(nk_param_num("a=1, b=0x10", "c", 42), 42);
  EXPECT_EQ(nk_param_num("a=", "a", 42), 42);
  EXPECT_EQ(nk_param_num("a=12x", "a", 42), 42);
  EXPECT_EQ(nk_param_num("a=99999999999999999999", "a", 42), 42);
}

class PidList : public testing::Test {
protected:
  NKCx c{};
  std::array<unsigned char, 8192> table{};
  int marked() const {
    int n = 0;
    for (unsigned char v : table) {
      n += v;
    }
    return n;
  }
};

TEST_F(PidList, MarksEveryListedPid) {
  EXPECT_EQ(nk_parse_pid_list(&c, "0,17,8191", table.data()), 1);
  EXPECT_EQ(marked(), 3);
  EXPECT_EQ(table[0], 1);
  EXPECT_EQ(table[17], 1);
  EXPECT_EQ(table[8191], 1);
  EXPECT_EQ(nk_parse_pid_list(&c, "0x20, 040", table.data()), 1);
  EXPECT_EQ(table[32], 1);
}

TEST_F(PidList, OutOfRangeFailsAfterMarkingEarlierOnes) {
  EXPECT_EQ(nk_parse_pid_list(&c, "17,8192", table.data()), 0);
  EXPECT_STREQ(nk_last_error(&c), "Invalid PID: 8192 (0x2000)");
  EXPECT_EQ(table[17], 1);
  EXPECT_EQ(nk_parse_pid_list(&c, "-1", table.data()), 0);
  EXPECT_STREQ(nk_last_error(&c), "Invalid PID: -1 (0xffffffff)");
}

TEST_F(PidList, EmptyItemsAndTextAreRejected) {
  EXPECT_EQ(nk_parse_pid_list(&c, "17,,18", table.data()), 0);
  EXPECT_STREQ(nk_last_error(&c), "Invalid PID list: 17,,18");
  EXPECT_EQ(table[18], 0);
  EXPECT_EQ(nk_parse_pid_list(&c, "", table.data()), 0);
  EXPECT_STREQ(nk_last_error(&c), "Invalid PID list: ");
  EXPECT_EQ(nk_parse_pid_list(&c, "abc", table.data()), 0);
}

TEST_F(PidList, CharactersBetweenNumberAndCommaAreIgnored) {
  EXPECT_EQ(nk_parse_pid_list(&c, "17xyz,18", table.data()), 1);
  EXPECT_EQ(table[17], 1);
  EXPECT_EQ(table[18], 1);
}

} // namespace
