// tsgen: makes the synthetic transport stream and sends it paced at a bit rate as UDP datagrams
// of seven TS packets, and/or writes the same bytes into a file, so that what comes out of the
// tunnel can be compared byte for byte.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "ts_stream.h"

namespace {

constexpr std::size_t packets_per_datagram = 7;
constexpr std::size_t datagram_size = packets_per_datagram * ts_size;

void usage(const char *prog) {
  std::printf("Usage: %s [-r kbit/s] [-t seconds | -n datagrams] [-S seed] [-d ip:port] [-w file]\n"
              "  -r <kbit/s>   Send rate [10000]\n"
              "  -t <s>        Duration in seconds [10]\n"
              "  -n <count>    Number of datagrams of 7 TS packets (instead of -t)\n"
              "  -S <seed>     Stream seed [1]\n"
              "  -d <ip>:<port> Send the stream to this address, paced at the rate\n"
              "  -w <file>     Write the stream into this file (\"-\": standard output)\n"
              "  -q            No summary line\n",
              prog);
}

std::uint64_t to_u64(const char *s, const char *what) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0') {
    std::fprintf(stderr, "tsgen: invalid %s '%s'\n", what, s);
    std::exit(2);
  }
  return v;
}

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until(std::int64_t t) {
  timespec ts{static_cast<time_t>(t / 1000000000), static_cast<long>(t % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

bool write_all(std::FILE *f, const std::uint8_t *p, std::size_t n) { return std::fwrite(p, 1, n, f) == n; }

} // namespace

int main(int argc, char **argv) {
  std::uint64_t kbps = 10000;
  std::uint64_t seconds = 10;
  std::uint64_t count = 0;
  std::uint64_t seed = 1;
  const char *dest = nullptr;
  const char *file = nullptr;
  bool quiet = false;
  int opt;
  while ((opt = getopt(argc, argv, "r:t:n:S:d:w:qh")) != -1) {
    switch (opt) {
    case 'r':
      kbps = to_u64(optarg, "rate");
      break;
    case 't':
      seconds = to_u64(optarg, "duration");
      break;
    case 'n':
      count = to_u64(optarg, "count");
      break;
    case 'S':
      seed = to_u64(optarg, "seed");
      break;
    case 'd':
      dest = optarg;
      break;
    case 'w':
      file = optarg;
      break;
    case 'q':
      quiet = true;
      break;
    default:
      usage(argv[0]);
      return opt == 'h' ? 0 : 2;
    }
  }
  if (kbps == 0 || kbps > 10000000 || (dest == nullptr && file == nullptr)) {
    usage(argv[0]);
    return 2;
  }
  const std::uint64_t bps = kbps * 1000;
  if (count == 0) {
    count = (seconds * bps + datagram_size * 8 - 1) / (datagram_size * 8);
  }

  int sock = -1;
  sockaddr_in to{};
  if (dest != nullptr) {
    const char *colon = std::strrchr(dest, ':');
    std::string ip(dest, colon ? static_cast<std::size_t>(colon - dest) : 0);
    to.sin_family = AF_INET;
    if (colon == nullptr || inet_aton(ip.empty() ? "127.0.0.1" : ip.c_str(), &to.sin_addr) == 0) {
      std::fprintf(stderr, "tsgen: invalid destination '%s'\n", dest);
      return 2;
    }
    to.sin_port = htons(static_cast<std::uint16_t>(to_u64(colon + 1, "port")));
    sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int sndbuf = 4 * 1024 * 1024;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  }
  std::FILE *out = nullptr;
  if (file != nullptr) {
    out = std::strcmp(file, "-") == 0 ? stdout : std::fopen(file, "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "tsgen: %s: %s\n", file, std::strerror(errno));
      return 1;
    }
  }

  ts_stream stream;
  ts_stream_init(&stream, seed, bps);
  std::uint8_t datagram[datagram_size];
  // Datagram k leaves at start + k * interval; a late sender catches up without sleeping.
  const double interval_ns = static_cast<double>(datagram_size * 8) * 1e9 / static_cast<double>(bps);
  const std::int64_t start = now_ns();
  std::uint64_t send_errors = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    for (std::size_t i = 0; i < packets_per_datagram; ++i) {
      ts_stream_next(&stream, datagram + i * ts_size);
    }
    if (out != nullptr && !write_all(out, datagram, datagram_size)) {
      std::fprintf(stderr, "tsgen: write failed: %s\n", std::strerror(errno));
      return 1;
    }
    if (sock >= 0) {
      const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(k) * interval_ns);
      if (due - now_ns() > 50000) {
        sleep_until(due);
      }
      if (sendto(sock, datagram, datagram_size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) !=
          static_cast<ssize_t>(datagram_size)) {
        ++send_errors;
      }
    }
  }
  const double elapsed = static_cast<double>(now_ns() - start) / 1e9;
  if (out != nullptr && out != stdout) {
    std::fclose(out);
  } else if (out == stdout) {
    std::fflush(stdout);
  }
  if (!quiet) {
    std::fprintf(stderr, "tsgen: %" PRIu64 " datagrams, %" PRIu64 " bytes, %.3f s, %.0f kbit/s, %" PRIu64 " send errors\n",
                 count, count * datagram_size, elapsed,
                 elapsed > 0 && sock >= 0 ? static_cast<double>(count * datagram_size * 8) / elapsed / 1000 : 0.0,
                 send_errors);
  }
  return send_errors == 0 ? 0 : 1;
}
