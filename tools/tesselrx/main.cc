// tesselrx: the reference receiver at the far end of the tunnel. This file is its frame: the
// command line, the sockets and sink, the select() loop that feeds the engine datagrams and the
// monotonic time, and the report at SIGINT/SIGTERM.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/select.h>
#include <sys/socket.h>

#include "nk_context.h"
#include "rx_engine.h"
#include "rx_io.h"
#include "rx_options.h"

namespace {

volatile std::sig_atomic_t stop_signal = 0;

void on_stop(int sig) { stop_signal = sig; }

std::int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct rx_edge {
  std::vector<rx_fd> sockets;
  rx_sink sink;
};

void edge_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &to) {
  auto *edge = static_cast<rx_edge *>(ctx);
  // Everything for the transmitter leaves from the first port; it does not look at the source.
  sendto(edge->sockets.front().get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void edge_play(void *ctx, std::span<const std::uint8_t> ts) { rx_sink_write(&static_cast<rx_edge *>(ctx)->sink, ts); }

void install_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; // no SA_RESTART: select() returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Datagrams read from one socket before the others get their turn.
constexpr int read_batch = 64;

void read_socket(rx_engine *e, int fd, std::uint8_t *buf, std::size_t cap) {
  for (int i = 0; i < read_batch; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = recvfrom(fd, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) {
      return; // EAGAIN, or an error queued by an earlier send; either way, nothing to read
    }
    rx_engine_input(e, std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), from, monotonic_ns());
  }
}

} // namespace

int main(int argc, char **argv) {
  static NKCx context{};
  NKCx *nk = &context;
  auto options = std::make_unique<rx_options>();
  rx_options *o = options.get();
  if (argc < 2) {
    rx_print_help(argv[0] ? argv[0] : "tesselrx");
    return 0;
  }
  if (rx_parse_options(nk, argc, argv, o) == rx_parse_result::exit_ok) {
    return 0;
  }
  auto edge_owner = std::make_unique<rx_edge>();
  rx_edge *edge = edge_owner.get();
  if (!rx_open_tunnel_sockets(nk, o->listen_ip, o->port, o->port_count, &edge->sockets)) {
    nk_die(nk, "Unable to open the tunnel ports: %s", nk_last_error(nk));
  }
  const bool sink_ok = o->output == rx_output_kind::udp ? rx_sink_open_udp(nk, &edge->sink, o->destination)
                                                         : rx_sink_open_file(nk, &edge->sink, o->file);
  if (!sink_ok) {
    nk_die(nk, "Unable to open the output: %s", nk_last_error(nk));
  }
  auto engine = std::make_unique<rx_engine>();
  rx_engine *e = engine.get();
  if (!rx_engine_init(e, nk, o->engine, rx_transport{edge, edge_send, edge_play})) {
    nk_die(nk, "Unable to start the receiver");
  }
  install_signals();
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &o->listen_ip, ip, sizeof ip);
  nk_log(nk, LOG_NOTICE, "Listening on %s:%u (%u port%s), latency %u ms, protocol v%u, window %" PRIu64 " slices", ip,
         static_cast<unsigned>(o->port), o->port_count, o->port_count == 1 ? "" : "s", o->latency_ms,
         static_cast<unsigned>(o->engine.protocol_version), e->window.capacity);

  alignas(8) static std::uint8_t buf[tun_rx_buffer_size];
  while (stop_signal == 0) {
    const std::int64_t wake = rx_engine_poll(e, monotonic_ns());
    std::int64_t wait = wake - monotonic_ns();
    wait = wait < 0 ? 0 : (wait > 100000000 ? 100000000 : wait);
    fd_set rfds;
    FD_ZERO(&rfds);
    int max_fd = -1;
    for (const rx_fd &s : edge->sockets) {
      FD_SET(s.get(), &rfds);
      max_fd = s.get() > max_fd ? s.get() : max_fd;
    }
    timeval tv{static_cast<time_t>(wait / 1000000000), static_cast<suseconds_t>((wait % 1000000000) / 1000)};
    const int ready = select(max_fd + 1, &rfds, nullptr, nullptr, &tv);
    if (ready <= 0) {
      continue; // time-out, or a signal
    }
    for (const rx_fd &s : edge->sockets) {
      if (FD_ISSET(s.get(), &rfds)) {
        read_socket(e, s.get(), buf, sizeof buf);
      }
    }
  }
  nk_log(nk, LOG_NOTICE, "Stopping on signal %d", static_cast<int>(stop_signal));
  rx_engine_flush(e);
  rx_engine_report(e);
  if (edge->sink.write_errors != 0) {
    nk_log(nk, LOG_WARNING, "Output: %" PRIu64 " writes failed", edge->sink.write_errors);
  }
  return 0;
}
