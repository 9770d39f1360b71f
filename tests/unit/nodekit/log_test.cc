#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "capture.h"
#include "child_process.h"
#include "nk_context.h"

namespace {

const std::regex stamped_line(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*)\n$)");

std::string logged_text(const std::string &captured) {
  std::smatch m;
  if (!std::regex_match(captured, m, stamped_line)) {
    return "<not one stamped line: " + captured + ">";
  }
  return m[1];
}

TEST(Log, StandardErrorLineIsTimeStampBlankText) {
  NKCx c{};
  fd_capture err;
  nk_log(&c, LOG_INFO, "Successfully created input socket %s", ":5000");
  EXPECT_EQ(logged_text(err.text()), "Successfully created input socket :5000");
}

TEST(Log, TimeStampFieldsAreZeroPaddedLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  char line[128];
  ASSERT_TRUE(nk_format_stderr_line(line, sizeof line, 86400 * 31 + 3600 * 2 + 60 * 3 + 4, "x"));
  EXPECT_STREQ(line, "1970-02-01 02:03:04 x\n");
}

TEST(Log, TextIsCutAtFirstNewline) {
  NKCx c{};
  fd_capture err;
  nk_log(&c, LOG_ERR, "Invalid bandwidth (%s)\n", "x");
  EXPECT_EQ(logged_text(err.text()), "Invalid bandwidth (x)");
  fd_capture err2;
  nk_log(&c, LOG_ERR, "first line\nsecond line");
  EXPECT_EQ(logged_text(err2.text()), "first line");
}

TEST(Log, MessageIsCutAt254Characters) {
  NKCx c{};
  const std::string long_text(300, 'a');
  fd_capture err;
  nk_log(&c, LOG_INFO, "%s", long_text.c_str());
  EXPECT_EQ(logged_text(err.text()), std::string(254, 'a'));
}

TEST(Log, FormatCharactersInArgumentsStayLiteral) {
  NKCx c{};
  fd_capture err;
  nk_log(&c, LOG_INFO, "%s", "100%s %d %n");
  EXPECT_EQ(logged_text(err.text()), "100%s %d %n");
}

// The logger's path is fixed, so the round runs in a child with a private /dev/log (the
// platform suite's helpers); without the namespace (not root) the test fails saying why.
TEST(Log, SyslogModeSendsUnderPrefixWithPidAndBackToStderr) {
  const platform_test::child_result r = platform_test::run_child([](int report) {
    std::string why;
    const int fd = platform_test::capture_dev_log(why);
    if (fd < 0) {
      platform_test::write_all(report, why);
      return platform_test::setup_failed;
    }
    NKCx c{};
    nk_openlog(&c, "nktest");
    nk_log(&c, LOG_WARNING, "to syslog %d\nnot this", 7);
    std::fflush(stderr);
    std::fputs("--\n", stderr); // what came before this mark was written in syslog mode
    platform_test::write_all(report, platform_test::collect_datagrams(fd, 300));
    nk_openlog(&c, nullptr);
    closelog();
    nk_log(&c, LOG_INFO, "back");
    return 0;
  });
  ASSERT_NE(r.exit_code, platform_test::setup_failed) << "cannot run: " << r.report;
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // LOG_USER | LOG_WARNING = 8 + 4, one datagram.
  EXPECT_EQ(r.report.rfind("<12>", 0), 0u) << r.report;
  EXPECT_NE(r.report.find("nktest[" + std::to_string(r.pid) + "]: to syslog 7\n"), std::string::npos)
      << r.report;
  EXPECT_EQ(r.report.find("not this"), std::string::npos);
  ASSERT_EQ(r.err.rfind("--\n", 0), 0u) << r.err;
  EXPECT_EQ(logged_text(r.err.substr(3)), "back");
}

TEST(LastError, FreshContextIsEmptyAndTextIsCutAt1022) {
  NKCx c{};
  EXPECT_STREQ(nk_last_error(&c), "");
  const std::string long_text(2000, 'e');
  nk_error(&c, "%s", long_text.c_str());
  EXPECT_EQ(std::string(nk_last_error(&c)), std::string(1022, 'e'));
  nk_error(&c, "No port number given.");
  EXPECT_STREQ(nk_last_error(&c), "No port number given.");
}

TEST(LastError, InitGivesZeroFilledContextWithOwner) {
  int owner = 0;
  NKCx *c = nk_init(&owner);
  EXPECT_EQ(c->black_box, &owner);
  EXPECT_STREQ(c->error_buf, "");
  EXPECT_EQ(c->syslog_prefix, nullptr);
  EXPECT_EQ(c->timing_stack_pos, 0);
  delete c;
}

TEST(DieDeathTest, WithoutFormatLogsLastErrorAndExits255) {
  NKCx c{};
  nk_error(&c, "No port number given.");
  EXPECT_EXIT(nk_die(&c, nullptr), testing::ExitedWithCode(255), R"([0-9][0-9]:[0-9][0-9]:[0-9][0-9] No port number given\.
$)");
}

TEST(DieDeathTest, DoesNotFlushBufferedStandardOutput) {
  NKCx c{};
  EXPECT_EXIT(
      {
        std::printf("buffered");
        nk_die(&c, "Invalid bandwidth (%s)\n", "0");
      },
      testing::ExitedWithCode(255), "Invalid bandwidth \\(0\\)\n$");
}

TEST(Version, IsTheReleaseText) { EXPECT_STREQ(nk_version(), "17.0.4 build 64a15723"); }

} // namespace
