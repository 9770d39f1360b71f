// The rrdcached client driven as the transmitter's loop drives it, against a loopback listener
// that stands for the server.
#include <cerrno>
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdarg>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "loopback.h"
#include "rrdc.h"

namespace {

std::vector<std::string> logged;

void capture_log(void * /*box*/, int /*prio*/, const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') {
    s.pop_back();
  }
  logged.push_back(s);
}

// A stand-in owner: writes "line N" for cursor N and stops after line 3.
void numbered_report(rrdc *c) {
  if (c->line_no < 1 || c->line_no > 3) {
    c->line_no = 0;
    return;
  }
  char line[32];
  const int n = std::snprintf(line, sizeof line, "line %d\n", c->line_no);
  rrd_write(c, line, n);
  c->line_no++;
}

int bytes_read = 0;
void count_read(rrdc * /*c*/, int bytes) {
  bytes_read += bytes;
}

struct listener {
  int fd = -1;
  int port = 0;
  listener() {
    fd = loopback_socket(SOCK_STREAM, &port);
    listen(fd, 4);
  }
  ~listener() { stop(); }
  void stop() {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }
  // The next connection, or -1 after two seconds.
  int accept_one() const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) {
      return -1;
    }
    return accept(fd, nullptr, nullptr);
  }
};

// What a peer has received within a short wait.
std::string drain(int fd, int wait_ms = 200) {
  std::string out;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, wait_ms) == 1) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<size_t>(n));
    wait_ms = 20;
  }
  return out;
}

class Client : public testing::Test {
protected:
  listener server;
  rrdc c{};
  std::vector<int> peers;

  void SetUp() override {
    logged.clear();
    bytes_read = 0;
    c.log = capture_log;
    c.report = numbered_report;
  }
  void TearDown() override {
    rrd_turn_off(&c);
    for (int fd : peers) {
      close(fd);
    }
  }
  void start(const std::string &addr) {
    rrd_get_ip_and_port(&c, addr.c_str());
    rrd_init(&c);
  }
  std::string addr() const { return "127.0.0.1:" + std::to_string(server.port); }

  // One pass as the loop makes it: sets, select(), service.
  int pass() {
    fd_set r;
    fd_set w;
    FD_ZERO(&r);
    FD_ZERO(&w);
    int max_fd = 0;
    rrd_fdset(&c, &r, &w, nullptr, &max_fd);
    timeval tv{0, 20000};
    const int n = select(max_fd + 1, &r, &w, nullptr, &tv);
    if (n >= 0) {
      rrd_fdsel(&c, &r, &w);
    }
    return n;
  }
  bool pass_until(int state, int limit = 100) {
    for (int i = 0; i < limit && c.conn_state != state; ++i) {
      pass();
    }
    return c.conn_state == state;
  }
  // Connects and returns the server's end.
  int connect_client() {
    start(addr());
    const int peer = server.accept_one();
    peers.push_back(peer);
    EXPECT_TRUE(pass_until(RRD_CONNECTED));
    return peer;
  }
  // Where the client's socket goes in a fresh pass.
  std::pair<bool, bool> sets_of_next_pass() {
    fd_set r;
    fd_set w;
    FD_ZERO(&r);
    FD_ZERO(&w);
    int max_fd = 0;
    rrd_fdset(&c, &r, &w, nullptr, &max_fd);
    EXPECT_EQ(max_fd, c.sock + 1);
    return {FD_ISSET(c.sock, &r) != 0, FD_ISSET(c.sock, &w) != 0};
  }
};

TEST_F(Client, ConnectsFromTheLoopAndWantsToWriteOnlyWithAReportUnderWay) {
  const int peer = connect_client();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(logged.front(), "Rrd (127.0.0.1:" + std::to_string(server.port) + "): Initialising.");
  EXPECT_EQ(sets_of_next_pass(), std::make_pair(true, false));
  c.line_no = 1;
  EXPECT_EQ(sets_of_next_pass(), std::make_pair(true, true));

  // One line per pass, in cursor order; then the owner's cursor goes back to idle.
  std::string got;
  for (int i = 1; i <= 3; ++i) {
    pass();
    got += drain(peer);
    EXPECT_EQ(got.size(), 7u * static_cast<size_t>(i)) << got;
  }
  EXPECT_EQ(got, "line 1\nline 2\nline 3\n");
  pass();
  EXPECT_EQ(c.line_no, 0);
  EXPECT_EQ(drain(peer, 50), "");
}

TEST_F(Client, AnswersAreReadAndDroppedAndAClosedServerMeansReconnectingAtOnce) {
  c.read = count_read;
  const int peer = connect_client();
  ASSERT_EQ(write(peer, "0 Go ahead\n", 11), 11);
  pass();
  EXPECT_EQ(bytes_read, 11);
  EXPECT_EQ(c.conn_state, RRD_CONNECTED);

  // The server goes away in the middle of a report (cursor at 2).
  c.line_no = 2;
  shutdown(peer, SHUT_RDWR);
  logged.clear();
  for (int i = 0; i < 20 && logged.empty(); ++i) {
    pass();
  }
  ASSERT_GE(logged.size(), 2u);
  const std::string tag = "Rrd (127.0.0.1:" + std::to_string(server.port) + "): ";
  EXPECT_EQ(logged[0].rfind(tag + "Disconnecting: ", 0), 0u) << logged[0];
  EXPECT_EQ(logged[1], tag + "Connection closed.");
  const int again = server.accept_one();
  ASSERT_GE(again, 0) << "a new attempt is made in the same call";
  peers.push_back(again);
  ASSERT_TRUE(pass_until(RRD_CONNECTED));
  EXPECT_EQ(c.line_no, 2) << "nothing is written while not connected";
  for (int i = 0; i < 3; ++i) {
    pass();
  }
  EXPECT_EQ(drain(again), "line 2\nline 3\n") << "the report resumes where the cursor stood";
}

TEST_F(Client, RefusedConnectionsBackOffTenSecondsThenRetryInTheSameCall) {
  const std::string where = addr();
  server.stop();
  start(where);
  for (int i = 0; i < 20 && c.conn_state != RRD_DISABLED; ++i) {
    pass();
  }
  ASSERT_EQ(c.conn_state, RRD_DISABLED);
  const std::string tag = "Rrd (" + where + "): ";
  // The number is the platform's own (146 on MIPS).
  const std::string refusal = "Connection refused (" + std::to_string(ECONNREFUSED) + "). Disabling for 10 seconds.";
  ASSERT_FALSE(logged.empty());
  EXPECT_TRUE(logged.back() == tag + "Connecting error: " + refusal ||
              logged.back() == tag + "Unable to connect: " + refusal)
      << logged.back();
  const size_t lines = logged.size();
  const timeval report_time = c.now;
  for (int i = 0; i < 5; ++i) {
    pass();
  }
  EXPECT_EQ(c.conn_state, RRD_DISABLED);
  EXPECT_EQ(logged.size(), lines) << "nothing happens while backing off";
  EXPECT_EQ(c.now.tv_sec, report_time.tv_sec) << "the back-off check leaves the report time alone";

  c.disabled.tv_sec -= 10; // the back-off has run out
  fd_set none;
  FD_ZERO(&none);
  rrd_fdsel(&c, &none, &none);
  ASSERT_GT(logged.size(), lines);
  EXPECT_NE(c.conn_state, RRD_RECONNECT) << "the attempt is made within the same call";
  EXPECT_TRUE(std::find(logged.begin() + static_cast<long>(lines), logged.end(), tag + "Connecting...") !=
                  logged.end() ||
              logged.back() == tag + "Unable to connect: " + refusal);
}

// connect() answering "already connected" sends the two-newline probe and counts as connected.
TEST_F(Client, AConnectFoundCompleteIsProbedBeforeReports) {
  const int peer = connect_client();
  c.conn_state = RRD_CONNECTING;
  logged.clear();
  EXPECT_EQ(sets_of_next_pass(), std::make_pair(false, true));
  const std::string tag = "Rrd (127.0.0.1:" + std::to_string(server.port) + "): ";
  EXPECT_EQ(logged.back(), tag + "Is connected: Transport endpoint is already connected (" + std::to_string(EISCONN) + ")");
  c.line_no = 1;
  pass();
  EXPECT_EQ(c.conn_state, RRD_CONNECTED);
  EXPECT_EQ(logged.back(), tag + "Connected.");
  EXPECT_EQ(drain(peer), "\n\nline 1\n") << "the probe, then the first line in the same pass";
}

TEST_F(Client, AnAddressThatDoesNotParseBacksOff) {
  start("10.0.0.300:700");
  EXPECT_EQ(c.conn_state, RRD_DISABLED);
  EXPECT_EQ(c.sock, 0);
  EXPECT_EQ(logged.back(), "Rrd (10.0.0.300:700): Wrong address: Invalid argument (22)");
}

TEST_F(Client, WritingToAServerThatHasGoneDoesNotEndTheProcess) {
  const int peer = connect_client();
  close(peer);
  peers.clear();
  // The test process keeps the default SIGPIPE action: a plain write would end it here.
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(rrd_write(&c, "update x 1:1\n", 13), 0);
    usleep(1000);
  }
  EXPECT_EQ(c.conn_state, RRD_CONNECTED) << "the next read finds the close";
  pass();
  EXPECT_NE(c.conn_state, RRD_CONNECTED);
}

TEST_F(Client, ALineTheSocketTakesOnlyInPartIsNotFollowedOnThatConnection) {
  const int peer = connect_client();
  const int small = 4096;
  setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(c.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::string line(999, 'x');
  const std::string with_nl = line + "\n";
  int writes = 0;
  while (c.conn_state == RRD_CONNECTED && writes < 100000) {
    rrd_write(&c, with_nl.data(), static_cast<int>(with_nl.size()));
    ++writes;
  }
  ASSERT_EQ(c.conn_state, RRD_RECONNECT) << "after " << writes << " writes";
  EXPECT_NE(logged.back().find("Line cut short"), std::string::npos) << logged.back();
  rrd_write(&c, "tail\n", 5);
  const std::string got = drain(peer);
  EXPECT_NE(got.back(), '\n') << "the cut line is the last thing on the old connection";
  EXPECT_EQ(got.find("tail"), std::string::npos);
}

TEST(Int64Rrd, KeepsMinMaxSumCountAndClearsToTheAverage) {
  int64_rrd a{};
  for (std::int64_t v : {5, -3, 7}) {
    rrd_int64_add(&a, v);
  }
  EXPECT_EQ(a.min, -3);
  EXPECT_EQ(a.max, 7);
  EXPECT_EQ(a.sum, 9);
  EXPECT_EQ(a.count, 3);
  rrd_int64_clear(&a);
  EXPECT_EQ(a.min, 3);
  EXPECT_EQ(a.max, 3);
  EXPECT_EQ(a.sum, 3);
  EXPECT_EQ(a.count, 0);
  rrd_int64_add(&a, 10);
  EXPECT_EQ(a.min, 10);
  EXPECT_EQ(a.max, 10);
  EXPECT_EQ(a.sum, 10);
  EXPECT_EQ(a.count, 1);

  int64_rrd b{};
  rrd_int64_add(&b, -7);
  rrd_int64_add(&b, 2);
  rrd_int64_clear(&b);
  EXPECT_EQ(b.sum, -2) << "the average truncates toward zero";
  rrd_int64_clear(&b);
  EXPECT_EQ(b.sum, -2) << "clearing an empty accumulator changes nothing";
}

} // namespace
