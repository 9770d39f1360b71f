// The play-out sink gathering its writes: bytes and datagram boundaries arrive unchanged and in
// order, and failures are still counted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "rx_io.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes pattern(std::size_t n, std::uint8_t seed) {
  bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    b[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  return b;
}

TEST(RxSink, FileBytesArriveInOrderAcrossFullBatchesAndOversizedWrites) {
  NKCx nk{};
  char path[] = "/tmp/rx_sink_test.XXXXXX";
  const int tmp = mkstemp(path);
  ASSERT_GE(tmp, 0);
  close(tmp);
  rx_sink s;
  ASSERT_TRUE(rx_sink_open_file(&nk, &s, path));
  bytes expect;
  // 188-byte packets up to past a batch, one write larger than a batch, then a few more.
  const std::size_t sizes[] = {1316, 188, 1316, rx_sink_batch_bytes + 1000, 376};
  for (int round = 0; round < 60; ++round) {
    const bytes b = pattern(sizes[round % 5], static_cast<std::uint8_t>(round));
    rx_sink_write(&s, b);
    expect.insert(expect.end(), b.begin(), b.end());
  }
  rx_sink_flush(&s);
  FILE *f = std::fopen(path, "rb");
  ASSERT_NE(f, nullptr);
  bytes got(expect.size() + 10);
  got.resize(std::fread(got.data(), 1, got.size(), f));
  std::fclose(f);
  unlink(path);
  EXPECT_EQ(got.size(), expect.size());
  EXPECT_TRUE(got == expect);
  EXPECT_EQ(s.write_errors, 0u);
}

// Runs of equal datagrams leave segmented; each must still arrive as its own datagram.
TEST(RxSink, UdpWritesStayDatagramsInOrder) {
  NKCx nk{};
  const int rx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
  socklen_t len = sizeof sin;
  getsockname(rx, reinterpret_cast<sockaddr *>(&sin), &len);
  const int big = 4 << 20;
  setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  rx_sink s;
  ASSERT_TRUE(rx_sink_open_udp(&nk, &s, sin));
  const int count = 3 * static_cast<int>(rx_sink_batch) + 5;
  // Runs of ten full slices between growing and shrinking ones.
  auto size = [](int i) { return 188 * static_cast<std::size_t>((i / 10) % 2 == 0 ? 7 : 1 + i % 7); };
  for (int i = 0; i < count; ++i) {
    rx_sink_write(&s, pattern(size(i), static_cast<std::uint8_t>(i)));
  }
  rx_sink_flush(&s);
  for (int i = 0; i < count; ++i) {
    bytes b(2048);
    const ssize_t n = recv(rx, b.data(), b.size(), MSG_DONTWAIT);
    ASSERT_GT(n, 0) << "datagram " << i;
    b.resize(static_cast<std::size_t>(n));
    EXPECT_TRUE(b == pattern(size(i), static_cast<std::uint8_t>(i))) << i;
  }
  EXPECT_EQ(s.write_errors, 0u);
  close(rx);
}

TEST(RxSink, AFailingFileIsCountedAndLoggedOnce) {
  NKCx nk{};
  fd_capture err;
  rx_sink s;
  ASSERT_TRUE(rx_sink_open_file(&nk, &s, "/dev/null"));
  s.fd = rx_fd(open("/dev/null", O_RDONLY)); // writes now fail
  rx_sink_write(&s, pattern(100, 1));
  rx_sink_flush(&s);
  rx_sink_write(&s, pattern(100, 2));
  rx_sink_flush(&s);
  EXPECT_EQ(s.write_errors, 2u);
  const std::string log = err.text();
  const auto first = log.find("Output write failed");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Output write failed", first + 1), std::string::npos);
}

} // namespace
