// udprelay: the physical reference of the benchmark, and the impaired link every tunnel of the
// side-by-side runs goes through. With -d it forwards every datagram arriving on its port to
// that address, and what comes back from that address to whoever sent last from elsewhere, so
// both directions of a tunnel pass it; -I impairs either direction with the receiver's seeded
// link model (loss, bursts, reordering, delay, duplication). Without -d it is a sink that counts
// what arrives and with -w writes the payloads to a file. It prints its counts when SIGINT or
// SIGTERM ends it.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "rx_impair.h"

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

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool same(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

struct direction {
  std::uint64_t datagrams = 0;
  std::uint64_t bytes = 0;
  std::uint64_t send_errors = 0;
};

struct relay {
  int sock = -1;
  direction fwd, back;
};

void send_to(relay *r, direction *d, std::span<const std::uint8_t> data, const sockaddr_in &to) {
  if (sendto(r->sock, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) !=
      static_cast<ssize_t>(data.size())) {
    ++d->send_errors;
  }
}

void deliver_fwd(void *ctx, std::span<const std::uint8_t> data, const sockaddr_in &to) {
  auto *r = static_cast<relay *>(ctx);
  send_to(r, &r->fwd, data, to);
}

void deliver_back(void *ctx, std::span<const std::uint8_t> data, const sockaddr_in &to) {
  auto *r = static_cast<relay *>(ctx);
  send_to(r, &r->back, data, to);
}

void usage(const char *prog) {
  std::fprintf(stderr,
               "usage: %s -s [ip]:port [-d ip:port [-I [fwd:|back:]<link>]...] [-w file]\n"
               "  <link> as tesselrx -I: loss=<pct>,burst=<pct>:<len>,reorder=<pct>[:<ms>],delay=<ms>,\n"
               "         jitter=<ms>,dup=<pct>,seed=<n>; without a prefix both directions\n",
               prog);
}

} // namespace

int main(int argc, char **argv) {
  sockaddr_in in{}, out{};
  bool forward = false;
  bool have_in = false;
  const char *file = nullptr;
  rx_impair_config link_fwd, link_back;
  int opt;
  while ((opt = getopt(argc, argv, "s:d:I:w:")) != -1) {
    if (opt == 's') {
      have_in = parse(optarg, &in);
    } else if (opt == 'd') {
      forward = parse(optarg, &out);
    } else if (opt == 'w') {
      file = optarg;
    } else if (opt == 'I') {
      const char *link_text = optarg;
      bool f = true, b = true;
      if (std::strncmp(link_text, "fwd:", 4) == 0) {
        b = false;
        link_text += 4;
      } else if (std::strncmp(link_text, "back:", 5) == 0) {
        f = false;
        link_text += 5;
      }
      std::string why;
      if ((f && !rx_impair_parse(link_text, &link_fwd, &why)) ||
          (b && !rx_impair_parse(link_text, &link_back, &why))) {
        std::fprintf(stderr, "udprelay: -I %s: %s\n", optarg, why.c_str());
        return 2;
      }
    } else {
      usage(argv[0]);
      return 2;
    }
  }
  if (!have_in) {
    usage(argv[0]);
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  relay r;
  r.sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  int buf = 8 * 1024 * 1024;
  setsockopt(r.sock, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  setsockopt(r.sock, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  if (bind(r.sock, reinterpret_cast<const sockaddr *>(&in), sizeof in) < 0) {
    std::fprintf(stderr, "udprelay: bind: %s\n", std::strerror(errno));
    return 1;
  }
  std::FILE *sink = nullptr;
  if (file != nullptr && (sink = std::fopen(file, "wb")) == nullptr) {
    std::fprintf(stderr, "udprelay: %s: %s\n", file, std::strerror(errno));
    return 1;
  }
  // A long delay at a high rate needs room: 65536 datagrams in each direction.
  rx_impair fwd_link, back_link;
  if (!rx_impair_init(&fwd_link, link_fwd, 1, 65536, deliver_fwd, &r) ||
      !rx_impair_init(&back_link, link_back, 2, 65536, deliver_back, &r)) {
    std::fprintf(stderr, "udprelay: out of memory\n");
    return 1;
  }
  std::fprintf(stderr, "udprelay: ready\n");
  bool client_known = false;
  sockaddr_in client{};
  static std::uint8_t data[65536];
  while (stop == 0) {
    std::int64_t wait = 100000000;
    const std::int64_t due = std::min(rx_impair_next_due(&fwd_link), rx_impair_next_due(&back_link));
    if (due != INT64_MAX) {
      const std::int64_t left = due - now_ns();
      wait = left < 0 ? 0 : (left < wait ? left : wait);
    }
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(r.sock, &rfds);
    timeval tv{static_cast<time_t>(wait / 1000000000), static_cast<suseconds_t>((wait % 1000000000) / 1000)};
    const int ready = select(r.sock + 1, &rfds, nullptr, nullptr, &tv);
    rx_impair_release(&fwd_link, now_ns());
    rx_impair_release(&back_link, now_ns());
    if (ready <= 0) {
      continue;
    }
    for (int i = 0; i < 256; ++i) {
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n =
          recvfrom(r.sock, data, sizeof data, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_len);
      if (n < 0) {
        break;
      }
      const std::span<const std::uint8_t> d(data, static_cast<std::size_t>(n));
      if (!forward) {
        ++r.fwd.datagrams;
        r.fwd.bytes += d.size();
        if (sink != nullptr) {
          std::fwrite(d.data(), 1, d.size(), sink);
        }
      } else if (same(from, out)) {
        ++r.back.datagrams;
        r.back.bytes += d.size();
        if (client_known) {
          rx_impair_offer(&back_link, d, client, now_ns());
        }
      } else {
        client = from;
        client_known = true;
        ++r.fwd.datagrams;
        r.fwd.bytes += d.size();
        rx_impair_offer(&fwd_link, d, out, now_ns());
      }
    }
  }
  if (sink != nullptr) {
    std::fclose(sink);
  }
  std::printf("datagrams %" PRIu64 " bytes %" PRIu64 " send_errors %" PRIu64 " back_datagrams %" PRIu64
              " back_bytes %" PRIu64 "\n",
              r.fwd.datagrams, r.fwd.bytes, r.fwd.send_errors + r.back.send_errors, r.back.datagrams, r.back.bytes);
  std::printf("link fwd: %s\nlink back: %s\n", rx_impair_summary(&fwd_link).c_str(),
              rx_impair_summary(&back_link).c_str());
  std::fflush(stdout);
  return 0;
}
