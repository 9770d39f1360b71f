#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "capture.h"
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

TEST(Log, SyslogModeSendsUnderPrefixWithPidAndBackToStderr) {
  struct stat st {};
  if (stat("/dev/log", &st) == 0) {
    GTEST_SKIP() << "a system logger owns /dev/log here";
  }
  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/log");
  if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(s);
    GTEST_SKIP() << "/dev/log cannot be bound here (another test may hold it)";
  }
  timeval tv{2, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  NKCx c{};
  nk_openlog(&c, "nktest");
  {
    fd_capture err;
    nk_log(&c, LOG_WARNING, "to syslog %d\nnot this", 7);
    EXPECT_EQ(err.text(), "");
  }
  char buf[512] = {};
  ssize_t n = recv(s, buf, sizeof buf - 1, 0);
  unlink("/dev/log");
  close(s);
  ASSERT_GT(n, 0);
  const std::string got(buf, static_cast<size_t>(n));
  // LOG_USER | LOG_WARNING = 8 + 4
  EXPECT_EQ(got.rfind("<12>", 0), 0u) << got;
  EXPECT_NE(got.find("nktest[" + std::to_string(getpid()) + "]: to syslog 7"), std::string::npos) << got;
  EXPECT_EQ(got.find("not this"), std::string::npos);

  nk_openlog(&c, nullptr);
  fd_capture err;
  nk_log(&c, LOG_INFO, "back");
  EXPECT_EQ(logged_text(err.text()), "back");
  closelog();
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
