// udprelay: the physical reference of the benchmark. It forwards every datagram arriving on a
// loopback port to another address unchanged (with -d), or only counts what arrives (without
// it), and prints its counts when SIGINT or SIGTERM ends it.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop = 0;
void on_stop(int) { stop = 1; }

bool parse(const char *s, sockaddr_in *a) {
  const char *colon = std::strrchr(s, ':');
  if (colon == nullptr) {
    return false;
  }
  const std::string ip(s, static_cast<std::size_t>(colon - s));
  *a = sockaddr_in{};
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<std::uint16_t>(std::atoi(colon + 1)));
  return inet_aton(ip.empty() ? "127.0.0.1" : ip.c_str(), &a->sin_addr) != 0;
}

} // namespace

int main(int argc, char **argv) {
  sockaddr_in in{}, out{};
  bool forward = false;
  bool have_in = false;
  int opt;
  while ((opt = getopt(argc, argv, "s:d:")) != -1) {
    if (opt == 's') {
      have_in = parse(optarg, &in);
    } else if (opt == 'd') {
      forward = parse(optarg, &out);
    } else {
      std::fprintf(stderr, "usage: %s -s [ip]:port [-d ip:port]\n", argv[0]);
      return 2;
    }
  }
  if (!have_in) {
    std::fprintf(stderr, "usage: %s -s [ip]:port [-d ip:port]\n", argv[0]);
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  int buf = 4 * 1024 * 1024;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  if (bind(s, reinterpret_cast<const sockaddr *>(&in), sizeof in) < 0) {
    std::fprintf(stderr, "udprelay: bind: %s\n", std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "udprelay: ready\n");
  std::uint64_t datagrams = 0, bytes = 0, send_errors = 0;
  static std::uint8_t data[65536];
  while (stop == 0) {
    const ssize_t n = recv(s, data, sizeof data, 0);
    if (n < 0) {
      continue; // EINTR from the stop signal
    }
    ++datagrams;
    bytes += static_cast<std::uint64_t>(n);
    if (forward && sendto(s, data, static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr *>(&out),
                          sizeof out) != n) {
      ++send_errors;
    }
  }
  std::printf("datagrams %" PRIu64 " bytes %" PRIu64 " send_errors %" PRIu64 "\n", datagrams, bytes, send_errors);
  return 0;
}
