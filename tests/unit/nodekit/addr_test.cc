#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "capture.h"
#include "nk_addr.h"

namespace {

struct dest_case {
  const char *text;
  int ok;
  int port;          // host order, -1: not checked
  const char *ip;    // expected address, or null when untouched
  const char *error; // expected last error, or null
};

void PrintTo(const dest_case &tc, std::ostream *os) { *os << '"' << tc.text << '"'; }

class DestinationParse : public testing::TestWithParam<dest_case> {};

TEST_P(DestinationParse, Table) {
  const dest_case &tc = GetParam();
  NKCx c{};
  std::uint16_t port = 0xBEEF;
  in_addr ip{};
  ip.s_addr = 0x01020304;
  int given = -1;
  EXPECT_EQ(nk_parse_ip_and_port(&c, tc.text, &port, &ip, 1, &given), tc.ok);
  if (tc.port >= 0) {
    EXPECT_EQ(ntohs(port), tc.port);
  }
  if (tc.ok) {
    EXPECT_EQ(given, tc.ip != nullptr ? 1 : 0);
    if (tc.ip) {
      EXPECT_STREQ(inet_ntoa(ip), tc.ip);
    } else {
      EXPECT_EQ(ip.s_addr, 0x01020304u) << "address must stay untouched when left out";
    }
  }
  if (tc.error) {
    EXPECT_STREQ(nk_last_error(&c), tc.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Nodekit, DestinationParse,
    testing::Values(dest_case{"10.0.0.1:5000", 1, 5000, "10.0.0.1", nullptr},
                    dest_case{":5000", 1, 5000, nullptr, nullptr},
                    dest_case{"10.0.0.1:0x1388", 1, 5000, "10.0.0.1", nullptr},
                    dest_case{"10.0.0.1:011610", 1, 5000, "10.0.0.1", nullptr}, // octal
                    dest_case{"10.0.0.1:70000", 1, 4464, "10.0.0.1", nullptr},
                    dest_case{"10.0.0.1:", 1, 0, "10.0.0.1", nullptr},
                    dest_case{"10.1:80", 1, 80, "10.0.0.1", nullptr}, // short inet_aton form
                    dest_case{"10.0.0.1", 0, -1, nullptr, "No port number given."},
                    dest_case{"10.0.0.1:50x0", 0, -1, nullptr, "Incomprehensible port number."},
                    dest_case{"10.0.0.1:5000@10.0.0.2", 0, 5000, nullptr, "Incomprehensible port number."},
                    dest_case{"localhost:5000", 0, 5000, nullptr, "Incomprehensible IP address."},
                    dest_case{"300.1.1.1:5000", 0, 5000, nullptr, "Incomprehensible IP address."}));

TEST(DestinationParse, MissingRequiredAddressFailsWithAReason) {
  NKCx c{};
  std::uint16_t port = 0;
  in_addr ip{};
  EXPECT_EQ(nk_parse_ip_and_port(&c, ":5000", &port, &ip, 0, nullptr), 0);
  EXPECT_STREQ(nk_last_error(&c), "No IP address given.");
}

TEST(DestinationParse, TextBeyond127CharactersIsDropped) {
  NKCx c{};
  std::uint16_t port = 0;
  in_addr ip{};
  // The colon sits beyond the working copy, so no port is found.
  std::string text = "1" + std::string(130, '0') + ":5000";
  EXPECT_EQ(nk_parse_ip_and_port(&c, text.c_str(), &port, &ip, 1, nullptr), 0);
  EXPECT_STREQ(nk_last_error(&c), "No port number given.");
}

TEST(InputParse, GroupInterfaceAndDefaults) {
  NKCx c{};
  std::uint16_t port = 0;
  ip_mreq mreq{};
  int given = 0;
  ASSERT_EQ(nk_parse_mreq_and_port(&c, "239.1.1.1:5000@10.0.0.2", &port, &mreq, 1, &given), 1);
  EXPECT_EQ(given, 1);
  EXPECT_EQ(ntohs(port), 5000);
  EXPECT_STREQ(inet_ntoa(mreq.imr_multiaddr), "239.1.1.1");
  EXPECT_STREQ(inet_ntoa(mreq.imr_interface), "10.0.0.2");

  mreq.imr_interface.s_addr = 0xFFFFFFFF;
  ASSERT_EQ(nk_parse_mreq_and_port(&c, "239.1.1.1:5000", &port, &mreq, 1, &given), 1);
  EXPECT_EQ(mreq.imr_interface.s_addr, 0u);

  ip_mreq untouched{};
  untouched.imr_multiaddr.s_addr = 7;
  untouched.imr_interface.s_addr = 9;
  ASSERT_EQ(nk_parse_mreq_and_port(&c, ":6000@garbage", &port, &untouched, 1, &given), 1);
  EXPECT_EQ(given, 0);
  EXPECT_EQ(untouched.imr_multiaddr.s_addr, 7u);
  EXPECT_EQ(untouched.imr_interface.s_addr, 9u);
}

TEST(InputParse, Failures) {
  NKCx c{};
  std::uint16_t port = 0;
  ip_mreq mreq{};
  EXPECT_EQ(nk_parse_mreq_and_port(&c, "239.1.1.1", &port, &mreq, 1, nullptr), 0);
  EXPECT_STREQ(nk_last_error(&c), "No port number given.");
  EXPECT_EQ(nk_parse_mreq_and_port(&c, "239.1.1.1:50x0", &port, &mreq, 1, nullptr), 0);
  EXPECT_STREQ(nk_last_error(&c), "Incomprehensible port number.");
  EXPECT_EQ(nk_parse_mreq_and_port(&c, "239.1.1.1:5000@eth0", &port, &mreq, 1, nullptr), 0);
  EXPECT_STREQ(nk_last_error(&c), "Incomprehensible IP address.");
  EXPECT_EQ(nk_parse_mreq_and_port(&c, "239.1.1.1:5000@", &port, &mreq, 1, nullptr), 0);
  EXPECT_STREQ(nk_last_error(&c), "Incomprehensible IP address.");
}

sockaddr_in bound_address(int fd) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
  return sin;
}

int free_udp_port() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
  int port = ntohs(bound_address(s).sin_port);
  close(s);
  return port;
}

TEST(InputSocket, AnyAddressWhenLeftOutWithDiagnosticLine) {
  NKCx c{};
  const int port = free_udp_port();
  const std::string text = ":" + std::to_string(port);
  fd_capture err;
  int fd = nk_create_input_socket(&c, text.c_str());
  ASSERT_GE(fd, 0) << nk_last_error(&c);
  sockaddr_in sin = bound_address(fd);
  EXPECT_EQ(sin.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(ntohs(sin.sin_port), port);
  char expect[96];
  std::snprintf(expect, sizeof expect, "mreq ip: 0 if 0 port %x %d %d\n", htons(static_cast<std::uint16_t>(port)),
                htons(static_cast<std::uint16_t>(port)), port);
  EXPECT_EQ(err.text(), expect);
  int rcvbuf = 0;
  socklen_t len = sizeof rcvbuf;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
  EXPECT_GE(rcvbuf, 512000); // the kernel reports twice the request
  close(fd);
}

TEST(InputSocket, UnicastBindAndBindFailure) {
  NKCx c{};
  fd_capture err;
  const std::string text = "127.0.0.1:" + std::to_string(free_udp_port());
  int fd = nk_create_input_socket(&c, text.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(bound_address(fd).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  close(fd);

  // An address this host does not have cannot be bound.
  EXPECT_EQ(nk_create_input_socket(&c, "192.0.2.77:5000"), -1);
  EXPECT_STREQ(nk_last_error(&c), "bind(): Cannot assign requested address");
  EXPECT_EQ(nk_create_input_socket(&c, "239.1.1.1:5000@eth0"), -1);
  EXPECT_STREQ(nk_last_error(&c), "Incomprehensible IP address.");
}

TEST(InputSocket, JoinFailureIsReportedAndSocketClosed) {
  NKCx c{};
  fd_capture err;
  const int before = dup(0);
  close(before);
  // An interface address this host does not have cannot join.
  const std::string text = "239.7.7.7:" + std::to_string(free_udp_port()) + "@192.0.2.77";
  EXPECT_EQ(nk_create_input_socket(&c, text.c_str()), -1);
  EXPECT_STREQ(nk_last_error(&c), "setsockopt(IP_ADD_MEMBERSHIP): No such device");
  const int after = dup(0);
  close(after);
  EXPECT_EQ(before, after) << "the failed socket leaked";
}

TEST(InputSocket, MulticastGroupJoinedOnLoopbackReceives) {
  NKCx c{};
  fd_capture err;
  const int port = free_udp_port();
  const std::string text = "239.255.12.34:" + std::to_string(port) + "@127.0.0.1";
  int fd = nk_create_input_socket(&c, text.c_str());
  ASSERT_GE(fd, 0) << nk_last_error(&c);

  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr lo{};
  lo.s_addr = htonl(INADDR_LOOPBACK);
  setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  unsigned char loop = 1;
  setsockopt(tx, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_aton("239.255.12.34", &group.sin_addr);
  const char payload[] = "G0123456789";
  ASSERT_EQ(sendto(tx, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&group), sizeof group),
            static_cast<ssize_t>(sizeof payload));
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[64] = {};
  EXPECT_EQ(recv(fd, buf, sizeof buf, 0), static_cast<ssize_t>(sizeof payload));
  EXPECT_STREQ(buf, payload);
  close(tx);
  close(fd);
}

TEST(InputSocket, HyphenIsStandardInputMadeNonBlocking) {
  NKCx c{};
  const int saved = fcntl(0, F_GETFL);
  EXPECT_EQ(nk_create_input_socket(&c, "-"), 0);
  EXPECT_TRUE(fcntl(0, F_GETFL) & O_NONBLOCK);
  fcntl(0, F_SETFL, saved);
}

} // namespace
