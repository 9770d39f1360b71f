// The logging router, each case in a forked child: GLib takes one writer per process.
#include "child_process.h"
#include "vexolog.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace platform_test {
namespace {

// GLib's user levels lie past the range C++ gives its level enum: such a value may be converted
// and passed on, but never kept in a variable of the enum's type (reading that back is undefined).
GLogLevelFlags user_level(unsigned n) {
  const unsigned bits = 1u << (G_LOG_LEVEL_USER_SHIFT + n);
  return static_cast<GLogLevelFlags>(bits);
}
#define USER_ERROR user_level(0)

// The daemons' own style: no domain, every format opening with "%s" and an empty prefix.
#define DAEMON_LOG(level, fmt, ...) g_log(nullptr, level, "%s" fmt, "" __VA_OPT__(, ) __VA_ARGS__)

TEST(VexoLogStdout, WritesExactlyTheTextOneLinePerMessage) {
  const child_result r = run_child([](int) {
    vexo_log_stdout();
    DAEMON_LOG(G_LOG_LEVEL_INFO, "Enabling HDMI output");
    DAEMON_LOG(G_LOG_LEVEL_WARNING, "Did not get the expected signal\n");
    DAEMON_LOG(USER_ERROR, "Failed setting uid to %d", 42);
    DAEMON_LOG(G_LOG_LEVEL_DEBUG, "debug line");
    g_message("plain %s", "message");
    g_log("SomeDomain", G_LOG_LEVEL_INFO, "domain is not shown");
    DAEMON_LOG(USER_ERROR, "%s\nError creating dbus proxy", "dbus failure");
    DAEMON_LOG(G_LOG_LEVEL_INFO, "two trailing\n\n");
    DAEMON_LOG(G_LOG_LEVEL_INFO, "");
    g_log_structured_standard(nullptr, G_LOG_LEVEL_INFO, __FILE__, "1", G_STRFUNC, "structured %d", 7);
    return 0;
  });
  EXPECT_EQ(r.signal, 0) << "the user error level must never abort";
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Enabling HDMI output\n"
                   "Did not get the expected signal\n"
                   "Failed setting uid to 42\n"
                   "debug line\n"
                   "plain message\n"
                   "domain is not shown\n"
                   "dbus failure\nError creating dbus proxy\n"
                   "two trailing\n\n"
                   "\n"
                   "structured 7\n");
  EXPECT_EQ(r.err, "");
}

// GLib's own debug lines (a bus connection logs one) stay out unless G_MESSAGES_DEBUG names
// their domain; the daemon's domain-less lines are always written.
TEST(VexoLogStdout, LibraryDebugOnlyWhenAskedFor) {
  for (const char *wanted : {static_cast<const char *>(nullptr), "GLib-GIO"}) {
    const child_result r = run_child([wanted](int) {
      if (wanted == nullptr)
        unsetenv("G_MESSAGES_DEBUG");
      else
        setenv("G_MESSAGES_DEBUG", wanted, 1);
      vexo_log_stdout();
      g_log("GLib-GIO", G_LOG_LEVEL_DEBUG, "library chatter");
      g_log("GLib-GIO", G_LOG_LEVEL_WARNING, "library warning");
      DAEMON_LOG(G_LOG_LEVEL_DEBUG, "own debug");
      return 0;
    });
    EXPECT_EQ(r.out, wanted == nullptr ? "library warning\nown debug\n"
                                       : "library chatter\nlibrary warning\nown debug\n");
  }
}

TEST(VexoLogStdout, LinesOfConcurrentThreadsStayWhole) {
  constexpr int threads = 4;
  constexpr int per_thread = 400;
  // Long lines of a different length per thread, so that a torn write shows.
  const auto text = [](int t, int i) {
    std::array<char, 32> head{};
    std::snprintf(head.data(), head.size(), "t%d n%04d ", t, i);
    return head.data() + std::string(static_cast<std::size_t>(200 + 50 * t), static_cast<char>('a' + t));
  };
  const child_result r = run_child([&](int) {
    vexo_log_stdout();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([t, &text] {
        for (int i = 0; i < per_thread; ++i)
          DAEMON_LOG(G_LOG_LEVEL_INFO, "%s", text(t, i).c_str());
      });
    }
    for (auto &th : pool)
      th.join();
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::multiset<std::string> want;
  for (int t = 0; t < threads; ++t)
    for (int i = 0; i < per_thread; ++i)
      want.insert(text(t, i));
  std::multiset<std::string> got;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    got.insert(line);
  EXPECT_TRUE(got == want) << "lines were torn, lost or repeated";
}

TEST(VexoLogCleanup, GivesMessagesBackToGlibsDefaultWriter) {
  const child_result r = run_child([](int) {
    vexo_log_stdout();
    g_message("routed");
    vexo_log_cleanup();
    g_message("after cleanup");
    DAEMON_LOG(USER_ERROR, "user level after cleanup");
    vexo_log_stdout();
    g_message("routed again");
    vexo_log_cleanup();
    vexo_log_cleanup();
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // GLib's own format: a level tag and a time before the text; messages on standard error, user
  // levels on standard output.
  EXPECT_TRUE(r.out.starts_with("routed\n** LOG-0x100: ")) << r.out;
  EXPECT_TRUE(r.out.ends_with(": user level after cleanup\nrouted again\n")) << r.out;
  EXPECT_TRUE(r.err.starts_with("** Message: ")) << r.err;
  EXPECT_TRUE(r.err.ends_with(": after cleanup\n")) << r.err;
}

// --- syslog -------------------------------------------------------------------------------------

struct syslog_line {
  int priority = -1;
  std::string ident;
  int pid = -1;
  std::string text;
};

// "<PRI>timestamp ident[pid]: text"
std::vector<syslog_line> parse(const std::string &report) {
  std::vector<syslog_line> out;
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    syslog_line s;
    std::size_t close = line.find('>');
    const std::size_t tag_end = line.find("]: ");
    if (line.empty() || line[0] != '<' || close == std::string::npos || tag_end == std::string::npos) {
      s.text = "unparsed: " + line;
      out.push_back(s);
      continue;
    }
    s.priority = std::stoi(line.substr(1, close - 1));
    const std::size_t open = line.rfind('[', tag_end);
    const std::size_t ident_start = line.rfind(' ', open) + 1;
    s.ident = line.substr(ident_start, open - ident_start);
    s.pid = std::stoi(line.substr(open + 1, tag_end - open - 1));
    s.text = line.substr(tag_end + 3);
    out.push_back(s);
  }
  return out;
}

// Runs logging() in a child that captures /dev/log; r is what the child gave. A namespace that
// can't be set up is a fatal failure.
void run_with_syslog(const std::function<void()> &logging, child_result &r) {
  r = run_child([&](int report) {
    std::string why;
    const int fd = capture_dev_log(why);
    if (fd < 0) {
      write_all(report, why);
      return setup_failed;
    }
    logging();
    write_all(report, collect_datagrams(fd, 300));
    return 0;
  });
  ASSERT_NE(r.exit_code, setup_failed) << "namespace set-up failed: " << r.report;
  ASSERT_EQ(r.signal, 0) << "the child was killed; the user error level must never abort";
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

TEST(VexoLogSyslog, EachLevelAtItsPriorityUnderTheProgramName) {
  child_result r;
  run_with_syslog(
      [] {
        g_set_prgname("displinkd");
        vexo_log_syslog();
        DAEMON_LOG(USER_ERROR, "Daemon failed");
        g_log(nullptr, G_LOG_LEVEL_CRITICAL, "critical");
        DAEMON_LOG(G_LOG_LEVEL_WARNING, "Did not get the expected signal");
        g_message("message");
        DAEMON_LOG(G_LOG_LEVEL_INFO, "Enabling HDMI output");
        g_log(nullptr, G_LOG_LEVEL_DEBUG, "debug");
        g_log(nullptr, user_level(1), "other user level");
        DAEMON_LOG(G_LOG_LEVEL_INFO, "%d%%m stays text", 100);
      },
      r);
  if (testing::Test::HasFatalFailure())
    return;
  const std::vector<syslog_line> got = parse(r.report);
  struct expected {
    int priority;
    const char *text;
  };
  const std::array<expected, 8> want{{{LOG_ERR, "Daemon failed"},
                                      {LOG_ERR, "critical"},
                                      {LOG_WARNING, "Did not get the expected signal"},
                                      {LOG_INFO, "message"},
                                      {LOG_INFO, "Enabling HDMI output"},
                                      {LOG_DEBUG, "debug"},
                                      {LOG_INFO, "other user level"},
                                      {LOG_INFO, "100%m stays text"}}};
  ASSERT_EQ(got.size(), want.size()) << r.report;
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].text);
    EXPECT_EQ(got[i].priority, LOG_DAEMON | want[i].priority);
    EXPECT_EQ(got[i].ident, "displinkd");
    EXPECT_EQ(got[i].pid, r.pid);
    EXPECT_EQ(got[i].text, want[i].text);
  }
  EXPECT_EQ(r.out, "");
}

TEST(VexoLogSyslog, WithoutAProgramNameUsesTheExecutablesName) {
  child_result r;
  run_with_syslog(
      [] {
        vexo_log_syslog();
        g_message("who am I");
      },
      r);
  if (testing::Test::HasFatalFailure())
    return;
  const std::vector<syslog_line> got = parse(r.report);
  ASSERT_EQ(got.size(), 1u) << r.report;
  std::array<char, 4096> exe{};
  ASSERT_GT(readlink("/proc/self/exe", exe.data(), exe.size() - 1), 0);
  EXPECT_EQ(got[0].ident, std::string(std::strrchr(exe.data(), '/') + 1));
  EXPECT_EQ(got[0].text, "who am I");
}

TEST(VexoLogSyslog, SwitchingModesMovesMessagesAndCleanupStopsSyslog) {
  child_result r;
  run_with_syslog(
      [] {
        g_set_prgname("coaxlinkd");
        vexo_log_syslog();
        g_message("to syslog");
        vexo_log_stdout();
        g_message("to stdout");
        vexo_log_syslog();
        g_message("syslog again");
        vexo_log_cleanup();
        g_message("to glib");
      },
      r);
  if (testing::Test::HasFatalFailure())
    return;
  const std::vector<syslog_line> got = parse(r.report);
  ASSERT_EQ(got.size(), 2u) << r.report;
  EXPECT_EQ(got[0].text, "to syslog");
  EXPECT_EQ(got[1].text, "syslog again");
  EXPECT_EQ(got[1].ident, "coaxlinkd");
  EXPECT_EQ(r.out, "to stdout\n");
  EXPECT_NE(r.err.find("to glib"), std::string::npos) << r.err;
}

} // namespace
} // namespace platform_test
