#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "nk_write.h"

namespace {

TEST(Write, LargeBufferArrivesWholeThroughPartialWrites) {
  NKCx c{};
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::vector<unsigned char> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<unsigned char>(i * 7);
  }
  std::vector<unsigned char> got;
  std::thread reader([&] {
    unsigned char buf[65536];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
      got.insert(got.end(), buf, buf + n);
    }
  });
  std::uint64_t spent = 0;
  int fd = p[1];
  EXPECT_EQ(nk_write(&c, &fd, data.data(), static_cast<int>(data.size()), &spent), 1);
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_EQ(got, data);
  EXPECT_EQ(c.timing_stack_pos, 0);
}

TEST(Write, ClosedPipeClosesAndMarksTheDescriptor) {
  NKCx c{};
  std::signal(SIGPIPE, SIG_IGN);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  int fd = p[1];
  std::uint64_t spent = 0;
  fd_capture err;
  EXPECT_EQ(nk_write(&c, &fd, "abc", 3, &spent), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_NE(err.text().find("Write error: Broken pipe. Ceasing write.\n"), std::string::npos);
  EXPECT_EQ(c.timing_stack_pos, 0) << "timing must be closed on the error path";
  EXPECT_EQ(write(p[1], "x", 1), -1) << "descriptor must have been closed";
}

TEST(WriteDeathTest, StandardOutputFailureEndsTheProcess) {
  NKCx c{};
  EXPECT_EXIT(
      {
        close(STDOUT_FILENO);
        nk_write(&c, nullptr, "abc", 3, nullptr);
      },
      testing::ExitedWithCode(255), "Unable to write to stdout: Bad file descriptor. Aborting.");
}

} // namespace
