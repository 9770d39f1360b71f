#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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

// What a child saw of one syslog round: standard error while in syslog mode, the datagram that
// reached /dev/log, and standard error once back; or why it could not run.
struct SyslogRound {
  std::string error, err_in_syslog_mode, datagram, err_after;
};

// The logger's path is fixed, so the round runs in a child with a mount namespace of its own and
// a private /dev: the machine's logger is neither needed nor disturbed. Without the namespace
// (not root) the round reports what is missing and the test fails.
SyslogRound syslog_round(pid_t &child) {
  int p[2];
  if (pipe(p) != 0) {
    return {"pipe failed", {}, {}, {}};
  }
  child = fork();
  if (child == 0) {
    close(p[0]);
    std::string out;
    auto fail = [&](const char *what) {
      out = std::string("E") + what + ": " + std::strerror(errno);
      (void)!write(p[1], out.data(), out.size());
      _exit(1);
    };
    if (unshare(CLONE_NEWNS) != 0) {
      fail("a private mount namespace (needs root)");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) {
      fail("a private /dev");
    }
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/log");
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      fail("a socket at /dev/log");
    }
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    NKCx c{};
    nk_openlog(&c, "nktest");
    std::string err1;
    {
      fd_capture err;
      nk_log(&c, LOG_WARNING, "to syslog %d\nnot this", 7);
      err1 = err.text();
    }
    char buf[512] = {};
    ssize_t n = recv(s, buf, sizeof buf, 0);
    nk_openlog(&c, nullptr);
    closelog();
    std::string err2;
    {
      fd_capture err;
      nk_log(&c, LOG_INFO, "back");
      err2 = err.text();
    }
    out = "O" + err1 + '\0' + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0) + '\0' + err2;
    (void)!write(p[1], out.data(), out.size());
    _exit(0);
  }
  close(p[1]);
  std::string got;
  char buf[1024];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) {
    got.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (got.empty() || got[0] != 'O') {
    return {got.empty() ? "the child ended without a word" : got.substr(1), {}, {}, {}};
  }
  SyslogRound r;
  size_t a = got.find('\0', 1), b = got.find('\0', a + 1);
  r.err_in_syslog_mode = got.substr(1, a - 1);
  r.datagram = got.substr(a + 1, b - a - 1);
  r.err_after = got.substr(b + 1);
  return r;
}

TEST(Log, SyslogModeSendsUnderPrefixWithPidAndBackToStderr) {
  pid_t child = -1;
  const SyslogRound r = syslog_round(child);
  ASSERT_EQ(r.error, "") << "cannot run: " << r.error;
  EXPECT_EQ(r.err_in_syslog_mode, "");
  // LOG_USER | LOG_WARNING = 8 + 4
  EXPECT_EQ(r.datagram.rfind("<12>", 0), 0u) << r.datagram;
  EXPECT_NE(r.datagram.find("nktest[" + std::to_string(child) + "]: to syslog 7"), std::string::npos)
      << r.datagram;
  EXPECT_EQ(r.datagram.find("not this"), std::string::npos);
  EXPECT_EQ(logged_text(r.err_after), "back");
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
