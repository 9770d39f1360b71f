// ugpio against the simulated sysfs tree: export and unexport, the attribute words, the value
// file and its edge signalling, and the failures that must reach the caller.
#include "gpio_fixture.h"
#include "ugpio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using gpiosim::Attribute;
using gpiosim::Direction;
using gpiosim::Edge;

struct handle_deleter {
  void operator()(ugpio_t *g) const { ugpio_free(g); }
};
using handle = std::unique_ptr<ugpio_t, handle_deleter>;

void write_file(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size())) << path;
  close(fd);
}

// The poll events of the value file right now.
short pending_events(const ugpio_t *g) {
  pollfd p{ugpio_fd(g), POLLPRI | POLLERR, 0};
  return poll(&p, 1, 0) == 1 ? p.revents : 0;
}

class ugpio_test : public gpio_test {};

TEST_F(ugpio_test, RequestExportsAnAbsentLineAndFreeUnexportsIt) {
  handle g(ugpio_request_one(17, UGPIO_F_IN, "label"));
  ASSERT_NE(g, nullptr) << std::strerror(errno);
  EXPECT_STREQ(ugpio_label(g.get()), "label");
  EXPECT_TRUE(sim().line(17).exported);
  g.reset();
  const auto history = sim().export_history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_TRUE(history[0].gpio == 17 && history[0].exported);
  EXPECT_TRUE(history[1].gpio == 17 && !history[1].exported);
  EXPECT_FALSE(sim().line(17).exported);
}

TEST_F(ugpio_test, RequestTakesAnExportedLineAsItIs) {
  write_file("/sys/class/gpio/export", "23\n");
  // A line left exported with edge detection on must still become an output.
  write_file("/sys/class/gpio/gpio23/edge", "falling");
  sim().clear_history();
  handle g(ugpio_request_one(23, 0, nullptr));
  ASSERT_NE(g, nullptr) << std::strerror(errno);
  EXPECT_TRUE(sim().export_history().empty());
  EXPECT_EQ(sim().line(23).direction, Direction::out);
  EXPECT_EQ(sim().line(23).edge, Edge::none);
  EXPECT_STREQ(ugpio_label(g.get()), "");
}

TEST_F(ugpio_test, RequestFlagsSetDirectionLevelAndEdge) {
  struct row {
    unsigned int flags;
    Direction direction;
    int value;
    Edge edge;
  };
  const row rows[] = {
      {0, Direction::out, 0, Edge::none},
      {UGPIO_F_INIT_HIGH, Direction::out, 1, Edge::none},
      {UGPIO_F_IN, Direction::in, 0, Edge::none},
      {0x140, Direction::in, 0, Edge::falling},
      {UGPIO_F_IN | UGPIO_F_EDGE(UGPIO_EDGE_RISING), Direction::in, 0, Edge::rising},
      {UGPIO_F_IN | UGPIO_F_EDGE(UGPIO_EDGE_BOTH), Direction::in, 0, Edge::both},
  };
  unsigned int gpio = 40;
  for (const row &r : rows) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << r.flags);
    handle g(ugpio_request_one(++gpio, r.flags, "x"));
    ASSERT_NE(g, nullptr) << std::strerror(errno);
    const auto s = sim().line(gpio);
    EXPECT_EQ(s.direction, r.direction);
    EXPECT_EQ(s.value, r.value);
    EXPECT_EQ(s.edge, r.edge);
  }
}

TEST_F(ugpio_test, InvalidFlagsAreRefusedBeforeTheLineIsTouched) {
  const unsigned int rows[] = {
      0x200,                            // unknown bit
      UGPIO_F_IN | UGPIO_F_INIT_HIGH,   // initial level of an input
      UGPIO_F_EDGE(UGPIO_EDGE_FALLING), // edge on an output
      UGPIO_F_IN | UGPIO_F_EDGE(2),     // no such edge
      UGPIO_F_IN | UGPIO_F_EDGE(7),
  };
  for (unsigned int flags : rows) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << flags);
    errno = 0;
    EXPECT_EQ(ugpio_request_one(5, flags, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_TRUE(sim().export_history().empty());
}

TEST_F(ugpio_test, FailedRequestsReportTheErrorAndLeaveNoLineExported) {
  errno = 0;
  EXPECT_EQ(ugpio_request_one(LINES, UGPIO_F_IN, nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);

  sim().fail_writes(7, Attribute::export_file, EBUSY);
  errno = 0;
  EXPECT_EQ(ugpio_request_one(7, UGPIO_F_IN, nullptr), nullptr);
  EXPECT_EQ(errno, EBUSY);

  // Exported, then configuring fails: the export is taken back and the cause kept.
  sim().fail_writes(8, Attribute::edge, EIO);
  errno = 0;
  EXPECT_EQ(ugpio_request_one(8, 0x140, nullptr), nullptr);
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(sim().line(8).exported);
  const auto history = sim().export_history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_TRUE(history[0].exported && !history[1].exported);
}

TEST_F(ugpio_test, DirectionWordsDriveTheLine) {
  for (bool full : {false, true}) {
    SCOPED_TRACE(full ? "kept descriptors" : "one-off opens");
    sim().clear_history();
    handle g(ugpio_request_one(30, UGPIO_F_IN, nullptr));
    ASSERT_NE(g, nullptr);
    if (full) {
      ASSERT_EQ(ugpio_full_open(g.get()), 0);
    }
    ASSERT_EQ(ugpio_direction_output(g.get(), 1), 0);
    EXPECT_EQ(sim().line(30).direction, Direction::out);
    ASSERT_EQ(ugpio_direction_output(g.get(), 0), 0);
    ASSERT_EQ(ugpio_direction_output(g.get(), 7), 0);
    ASSERT_EQ(ugpio_direction_input(g.get()), 0);
    EXPECT_EQ(sim().line(30).direction, Direction::in);
    const auto levels = sim().output_history(30);
    ASSERT_EQ(levels.size(), 3u);
    EXPECT_EQ(levels[0].level, 1);
    EXPECT_EQ(levels[1].level, 0);
    EXPECT_EQ(levels[2].level, 1);
  }
}

TEST_F(ugpio_test, EdgeWords) {
  handle g(ugpio_request_one(31, UGPIO_F_IN, nullptr));
  ASSERT_NE(g, nullptr);
  const std::pair<int, Edge> valid[] = {{UGPIO_EDGE_RISING, Edge::rising},
                                        {UGPIO_EDGE_FALLING, Edge::falling},
                                        {UGPIO_EDGE_BOTH, Edge::both},
                                        {UGPIO_EDGE_NONE, Edge::none}};
  for (auto [number, edge] : valid) {
    EXPECT_EQ(ugpio_set_edge(g.get(), number), 0) << number;
    EXPECT_EQ(sim().line(31).edge, edge) << number;
  }
  ASSERT_EQ(ugpio_set_edge(g.get(), UGPIO_EDGE_FALLING), 0);
  for (int number : {-1, 2, 3, 6, 0x40}) {
    errno = 0;
    EXPECT_EQ(ugpio_set_edge(g.get(), number), -1) << number;
    EXPECT_EQ(errno, EINVAL) << number;
  }
  EXPECT_EQ(sim().line(31).edge, Edge::falling);
  // An interrupt input cannot be driven before its edge detection is off.
  errno = 0;
  EXPECT_EQ(ugpio_direction_output(g.get(), 1), -1);
  EXPECT_EQ(errno, EIO);
}

TEST_F(ugpio_test, ValueReadAndWrite) {
  handle g(ugpio_request_one(32, UGPIO_F_IN, nullptr));
  ASSERT_NE(g, nullptr);
  errno = 0;
  EXPECT_EQ(ugpio_get_value(g.get()), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(ugpio_fd(g.get()), -1);
  ASSERT_EQ(ugpio_open(g.get()), 0);
  ASSERT_EQ(ugpio_open(g.get()), 0);
  EXPECT_GE(ugpio_fd(g.get()), 0);
  for (int level : {1, 0, 1}) {
    ASSERT_TRUE(sim().set_input_level(32, level));
    EXPECT_EQ(ugpio_get_value(g.get()), level);
  }
  errno = 0;
  EXPECT_EQ(ugpio_set_value(g.get(), 1), -1);
  EXPECT_EQ(errno, EPERM);

  ASSERT_EQ(ugpio_direction_output(g.get(), 0), 0);
  ASSERT_EQ(ugpio_set_value(g.get(), 1), 0);
  EXPECT_EQ(sim().line(32).value, 1);
  EXPECT_EQ(ugpio_get_value(g.get()), 1);
  ASSERT_EQ(ugpio_set_value(g.get(), 0), 0);
  EXPECT_EQ(ugpio_get_value(g.get()), 0);

  sim().fail_writes(32, Attribute::value, EIO);
  errno = 0;
  EXPECT_EQ(ugpio_set_value(g.get(), 1), -1);
  EXPECT_EQ(errno, EIO);

  ASSERT_EQ(ugpio_close(g.get()), 0);
  EXPECT_EQ(ugpio_fd(g.get()), -1);
  EXPECT_EQ(sim().line(32).exported, true) << "close keeps the line";
}

TEST_F(ugpio_test, EdgesShowAsPriorityDataUntilTheValueIsRead) {
  ASSERT_TRUE(sim().set_input_level(33, 1));
  handle g(ugpio_request_one(33, 0x140, nullptr));
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(ugpio_open(g.get()), 0);
  // A freshly opened value file reports until its first read, as on the kernel.
  EXPECT_EQ(pending_events(g.get()), POLLPRI | POLLERR);
  EXPECT_EQ(ugpio_get_value(g.get()), 1);
  EXPECT_EQ(pending_events(g.get()), 0);

  ASSERT_TRUE(sim().set_input_level(33, 0));
  EXPECT_EQ(pending_events(g.get()), POLLPRI | POLLERR);
  EXPECT_EQ(pending_events(g.get()), POLLPRI | POLLERR) << "poll alone does not acknowledge";
  EXPECT_EQ(ugpio_get_value(g.get()), 0);
  EXPECT_EQ(pending_events(g.get()), 0);

  ASSERT_TRUE(sim().set_input_level(33, 1)); // rising: not watched
  EXPECT_EQ(pending_events(g.get()), 0);
  EXPECT_EQ(sim().edge_count(33), 1u);
}

TEST_F(ugpio_test, ABlockedPollerWakesOnTheEdge) {
  ASSERT_TRUE(sim().set_input_level(34, 1));
  handle g(ugpio_request_one(34, 0x140, nullptr));
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(ugpio_open(g.get()), 0);
  ASSERT_EQ(ugpio_get_value(g.get()), 1);
  std::thread edge([this] {
    usleep(50'000);
    sim().set_input_level(34, 0);
  });
  pollfd p{ugpio_fd(g.get()), POLLPRI | POLLERR, 0};
  const int n = poll(&p, 1, 5000);
  edge.join();
  ASSERT_EQ(n, 1);
  EXPECT_EQ(p.revents, POLLPRI | POLLERR);
}

TEST_F(ugpio_test, FullOpenKeepsTheLineConfigurableAfterDroppingRoot) {
  handle g(ugpio_request_one(35, UGPIO_F_IN, nullptr));
  ASSERT_NE(g, nullptr);
  handle plain(ugpio_request_one(36, UGPIO_F_IN, nullptr));
  ASSERT_NE(plain, nullptr);
  ASSERT_EQ(ugpio_full_open(g.get()), 0);
  ASSERT_EQ(ugpio_open(plain.get()), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(10);
    if (ugpio_direction_output(g.get(), 1) != 0 || ugpio_set_edge(g.get(), UGPIO_EDGE_NONE) != 0)
      _exit(11);
    if (ugpio_direction_output(plain.get(), 1) == 0 || errno != EACCES)
      _exit(12);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(sim().line(35).direction, Direction::out);
  EXPECT_EQ(sim().line(36).direction, Direction::in);
}

TEST_F(ugpio_test, OpenAndFreeFailuresReachTheCaller) {
  ugpio_t *g = ugpio_request_one(37, UGPIO_F_IN, nullptr);
  ASSERT_NE(g, nullptr);
  sim().fail_opens(37, Attribute::edge, EACCES);
  errno = 0;
  EXPECT_EQ(ugpio_full_open(g), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(ugpio_fd(g), -1) << "a failed full open leaves nothing open";
  sim().fail_opens(37, Attribute::edge, 0);

  sim().fail_writes(37, Attribute::unexport_file, EIO);
  errno = 0;
  EXPECT_EQ(ugpio_free(g), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(ugpio_free(nullptr), 0);

  errno = 0;
  EXPECT_EQ(ugpio_open(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ugpio_set_edge(nullptr, UGPIO_EDGE_NONE), -1);
  EXPECT_EQ(ugpio_fd(nullptr), -1);
}

TEST_F(ugpio_test, ALineUnexportedBehindTheHandlesBackFails) {
  handle g(ugpio_request_one(38, UGPIO_F_IN, nullptr));
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(ugpio_open(g.get()), 0);
  write_file("/sys/class/gpio/unexport", "38");
  errno = 0;
  EXPECT_EQ(ugpio_get_value(g.get()), -1);
  EXPECT_EQ(errno, ENODEV);
  errno = 0;
  EXPECT_EQ(ugpio_direction_input(g.get()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ugpio_full_open(g.get()), -1);
}

} // namespace
