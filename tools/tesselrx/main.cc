// tesselrx: the reference receiver at the far end of the tunnel. This file is its frame: the
// command line, the sockets and sink, the select() loop that feeds the engine datagrams and the
// monotonic time through the link impairment of each direction, and the report at SIGINT/SIGTERM.
#include <algorithm>
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
#include "rx_batch.h"
#include "rx_engine.h"
#include "rx_io.h"
#include "rx_options.h"
#include "tun_pace.h"

namespace {

volatile std::sig_atomic_t stop_signal = 0;

void on_stop(int sig) {
  stop_signal = sig;
}

std::int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct rx_edge {
  std::vector<rx_fd> sockets;
  rx_batch_pass pass; // one slot set per socket, in the same order
  rx_sink sink;
  rx_engine *engine = nullptr;
  rx_impair in;               // transmitter -> engine
  rx_impair out;              // engine -> transmitter
  std::uint64_t rtt_seen = 0; // round trips the engine had measured when last looked at
  std::int64_t rtt_sum_seen = 0;
};

// The engine adds each ping's round trip to its statistics; the newest one is what the sum grew
// by, and the repeat time of requests follows it.
void follow_round_trip(rx_edge *edge) {
  const rx_engine *e = edge->engine;
  if (e->stat.rtt_count == edge->rtt_seen) {
    return;
  }
  if (e->stat.rtt_count == edge->rtt_seen + 1 && e->stat.rtt_sum_ns != INT64_MAX) {
    rx_requests_note_rtt(&edge->engine->req, e->stat.rtt_sum_ns - edge->rtt_sum_seen);
  }
  edge->rtt_seen = e->stat.rtt_count;
  edge->rtt_sum_seen = e->stat.rtt_sum_ns;
}

// Datagrams a delayed link holds at most in each direction (about 8 MB).
constexpr std::uint32_t impair_queue_slots = 4096;

void wire_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &to) {
  auto *edge = static_cast<rx_edge *>(ctx);
  // Everything for the transmitter leaves from the first port; it does not look at the source.
  sendto(edge->sockets.front().get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to),
         sizeof to);
}

void wire_receive(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &from) {
  auto *edge = static_cast<rx_edge *>(ctx);
  rx_engine_input(edge->engine, d, from, monotonic_ns());
  follow_round_trip(edge);
}

void edge_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &to) {
  auto *edge = static_cast<rx_edge *>(ctx);
  rx_impair_offer(&edge->out, d, to, monotonic_ns());
}

void edge_play(void *ctx, std::span<const std::uint8_t> ts) {
  rx_sink_write(&static_cast<rx_edge *>(ctx)->sink, ts);
}

void install_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; // no SA_RESTART: select() returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Datagrams read from one port per pass at most, so the engine's timers and the play-out get
// their turn under a flood.
constexpr std::size_t read_cap_per_port = 1024;

// While datagrams flow the loop does not wake for each one: it sleeps this tick and then drains
// every socket. Play-out, pings, requests and the link's delays that fall due meanwhile wait for
// the tick too (at most this much later): woken for each of them, the loop would run once per
// slice, since every slice has its own play-out time.
constexpr std::int64_t tick_ns = 1000000;

// Reads in rounds: one batch from each socket that may hold more, then the round's datagrams go
// to the engine merged into the order they were sent in. A socket that gave less than a full
// batch is drained for this pass. Returns how many datagrams were read.
//
// The sockets are read one after the other, so a datagram can reach a socket already read just
// before a later one reaches a socket not yet read; the engine then sees a gap and would ask
// for the slice at its next poll although it waits in a queue. So when the pass ends and the
// engine has noticed a new gap, every socket is looked at once more.
std::size_t read_sockets(rx_edge *edge, fd_set *ready, const fd_set &all) {
  rx_batch_pass *pass = &edge->pass;
  const std::size_t rounds = std::max<std::size_t>(1, read_cap_per_port / pass->per_port);
  std::uint64_t gaps_seen = edge->engine->stat.gaps;
  std::size_t read = 0;
  for (std::size_t round = 0; round < rounds; ++round) {
    bool any = false;
    for (std::size_t p = 0; p < edge->sockets.size(); ++p) {
      const int fd = edge->sockets[p].get();
      pass->count[p] = 0;
      if (FD_ISSET(fd, ready)) {
        const std::size_t n = rx_batch_read(pass, p, fd);
        any = any || n > 0;
        if (pass->reads[p] < pass->per_port) {
          FD_CLR(fd, ready);
        }
      }
    }
    if (any) {
      // Segments a read could not hold are counted with the datagrams dropped as malformed.
      edge->engine->stat.malformed += pass->segments_dropped;
      pass->segments_dropped = 0;
      const std::size_t total = rx_batch_merge(pass);
      read += total;
      const std::int64_t now = monotonic_ns();
      for (std::size_t i = 0; i < total; ++i) {
        const rx_batch_ref r = pass->order[i];
        rx_impair_offer(&edge->in, rx_batch_datagram(pass, r.port, r.index),
                        rx_batch_source(pass, r.port, r.index), now);
      }
    }
    const bool drained = std::none_of(edge->sockets.begin(), edge->sockets.end(),
                                      [ready](const rx_fd &s) { return FD_ISSET(s.get(), ready); });
    if (drained) {
      if (!any || edge->engine->stat.gaps == gaps_seen) {
        return read;
      }
      gaps_seen = edge->engine->stat.gaps;
      *ready = all;
    }
  }
  return read;
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
  if (!rx_batch_init(&edge->pass, edge->sockets.size())) {
    nk_die(nk, "Unable to set up the receive buffers");
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
  edge->engine = e;
  e->req.repeat_follows_rtt = !o->request_repeat_fixed;
  if (!rx_impair_init(&edge->in, o->impair_in, 1, impair_queue_slots, wire_receive, edge) ||
      !rx_impair_init(&edge->out, o->impair_out, 2, impair_queue_slots, wire_send, edge)) {
    nk_die(nk, "Unable to allocate the link's delay queues");
  }
  const bool impaired = o->impair_in.any() || o->impair_out.any();
  install_signals();
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &o->listen_ip, ip, sizeof ip);
  nk_log(nk, LOG_NOTICE,
         "Listening on %s:%u (%u port%s), latency %u ms, protocol v%u, window %" PRIu64 " slices", ip,
         static_cast<unsigned>(o->port), o->port_count, o->port_count == 1 ? "" : "s", o->latency_ms,
         static_cast<unsigned>(o->engine.protocol_version), e->window.capacity);

  bool flowing = false;
  tun_pace pace{tick_ns, false, 0};
  while (stop_signal == 0) {
    rx_impair_release(&edge->in, monotonic_ns());
    rx_impair_release(&edge->out, monotonic_ns());
    std::int64_t wake = rx_engine_poll(e, monotonic_ns());
    wake = std::min({wake, rx_impair_next_due(&edge->in), rx_impair_next_due(&edge->out)});
    std::int64_t wait = wake - monotonic_ns();
    wait = wait < 0 ? 0 : (wait > 100000000 ? 100000000 : wait);
    // What the engine played in this pass leaves now, in one go, before the loop sleeps.
    rx_sink_flush(&edge->sink);
    if (flowing) {
      wait = tick_ns;
    } else if (wait > 0) {
      // Waiting, what falls due may be served up to a tick late, as while ticking: a datagram
      // arriving meanwhile then serves it in the same wake-up. At about one datagram a tick
      // every slice's play-out time falls between two arrivals, and woken for each the loop
      // would run twice per slice.
      wait += tick_ns;
    }
    fd_set rfds;
    fd_set all;
    FD_ZERO(&all);
    int max_fd = -1;
    for (const rx_fd &s : edge->sockets) {
      FD_SET(s.get(), &all);
      max_fd = s.get() > max_fd ? s.get() : max_fd;
    }
    FD_ZERO(&rfds);
    if (!flowing) {
      rfds = all;
    }
    timeval tv{static_cast<time_t>(wait / 1000000000), static_cast<suseconds_t>((wait % 1000000000) / 1000)};
    const int ready = select(flowing ? 0 : max_fd + 1, &rfds, nullptr, nullptr, &tv);
    if (ready < 0) {
      continue; // a signal
    }
    if (flowing) {
      rfds = all; // the tick watched nothing: every socket may hold datagrams
    } else if (ready == 0) {
      continue;
    }
    const std::size_t read = read_sockets(edge, &rfds, all);
    flowing = tun_pace_ticks_next(&pace, flowing, read, read > 0 ? monotonic_ns() : 0);
  }
  nk_log(nk, LOG_NOTICE, "Stopping on signal %d", static_cast<int>(stop_signal));
  rx_engine_flush(e);
  rx_sink_flush(&edge->sink);
  rx_engine_report(e);
  if (impaired) {
    nk_log(nk, LOG_NOTICE, "Link in: %s", rx_impair_summary(&edge->in).c_str());
    nk_log(nk, LOG_NOTICE, "Link out: %s", rx_impair_summary(&edge->out).c_str());
  }
  if (edge->sink.write_errors != 0) {
    nk_log(nk, LOG_WARNING, "Output: %" PRIu64 " writes failed", edge->sink.write_errors);
  }
  return 0;
}
