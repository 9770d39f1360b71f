#include "tunnel_sim.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

#include "capture.h"
#include "fec.h"
#include "input.h"
#include "liveness.h"
#include "receive.h"
#include "ring.h"
#include "send.h"

namespace {

constexpr std::int64_t ms = 1000000;
constexpr std::int64_t start_ns = 1000 * 1000 * ms; // far from zero, which the engine reads as "never"
constexpr std::int64_t pass_cost_ns = 20000;        // what one busy pass of the loop takes
constexpr std::int64_t select_timeout_ns = 100 * ms;

timespec64 at(std::int64_t ns) {
  return timespec64{ns / 1000000000, ns % 1000000000};
}

sockaddr_in address(std::uint32_t host, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  a.sin_port = htons(port);
  return a;
}

struct sim;

// One transmission's path to the receiver: a link model each way, and the datagrams the
// receiver sent that wait at the transmission's socket.
struct sim_path {
  sim *s = nullptr;
  transmission *tr = nullptr;
  sockaddr_in tx_addr{};
  rx_impair down; // transmitter -> receiver
  rx_impair up;   // receiver -> transmitter
  std::deque<std::vector<std::uint8_t>> inbox;
  bool writable = false;
};

struct sim {
  sim_config cfg;
  std::int64_t now = start_ns;
  NKCx nk{};
  std::unique_ptr<tesseltx> t;
  std::unique_ptr<rx_engine> rx;
  std::vector<std::unique_ptr<sim_path>> paths;
  ts_stream ts{};
  unsigned fed = 0;
  std::int64_t first_input = 0;
  sim_result out;

  bool cut(const sim_path *p) const {
    return cfg.cut_first_path_ms != 0 && p == paths[0].get() && first_input != 0 &&
           now >= first_input + cfg.cut_first_path_ms * ms;
  }
};

void to_receiver(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &from) {
  auto *p = static_cast<sim_path *>(ctx);
  rx_engine_input(p->s->rx.get(), d, from, p->s->now);
}

void to_transmitter(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &) {
  auto *p = static_cast<sim_path *>(ctx);
  p->inbox.emplace_back(d.begin(), d.end());
}

// The transmitter's send function: onto the transmission's path.
void tx_send(void *ctx, transmission *tr, const tx_datagram &d, const sockaddr_in &) {
  auto *s = static_cast<sim *>(ctx);
  sim_path *p = s->paths[tr->id].get();
  if (!s->cut(p)) {
    rx_impair_offer(&p->down, d.bytes(), p->tx_addr, s->now);
  }
}

// The receiver's transport: datagrams go onto the path of the transmission they are addressed
// to; played bytes are kept.
void rx_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &to) {
  auto *s = static_cast<sim *>(ctx);
  for (auto &p : s->paths) {
    if (p->tx_addr.sin_addr.s_addr == to.sin_addr.s_addr && p->tx_addr.sin_port == to.sin_port) {
      if (!s->cut(p.get())) {
        rx_impair_offer(&p->up, d, to, s->now);
      }
      return;
    }
  }
}

void rx_play(void *ctx, std::span<const std::uint8_t> ts) {
  auto &played = static_cast<sim *>(ctx)->out.played;
  played.insert(played.end(), ts.begin(), ts.end());
}

// The transmitter as start-up leaves it, for outputs that exist only in the simulation.
void make_transmitter(sim *s) {
  auto t = std::make_unique<tesseltx>();
  t->port_range_size = 4;
  t->next = 1;
  t->protocol_version = 7;
  t->stats_interval = 1;
  std::memset(t->cc, 0xFF, sizeof t->cc);
  t->now = at(s->now);
  t->delay = s->cfg.delay_ms;
  t->fec = s->cfg.fec;
  t->ping_timeout_exit_ms = s->cfg.ping_timeout_exit_ms;
  t->info.node_no = 7;
  t->info.description = "sim";
  if (s->cfg.outputs > 1) {
    t->flags |= TX_FLAG_BACKUP;
  }
  for (unsigned i = 0; i < s->cfg.outputs; ++i) {
    transmission *tr = tr_new(t.get(), address(0x0A000001u + i, 5000), -1);
    tr->bw.max = 2 * s->cfg.rate; // headroom for resends and parity, as -e is given in practice
    tr->active_flag = i == 0 ? 1 : 0;
  }
  t->buff_size = 4096;
  t->buffer.reset(static_cast<tun_slice *>(std::calloc(4096, sizeof(tun_slice))));
  t->buffer[0].seq = 1;
  t->active_tr = t->tr;
  tr_init_buffer(t->tr);
  t->info_packet = tun_prepare_info_packet(&t->info, t->protocol_version);
  if (s->cfg.encrypt) {
    t->aes = aes_new(&t->nk);
    aes_init_key(t->aes.get());
  }
  s->t = std::move(t);
}

std::optional<rx_impair_config> link_model(const sim_config &cfg) {
  rx_impair_config lc;
  lc.seed = cfg.seed;
  std::string why;
  if (!cfg.link.empty() && !rx_impair_parse(cfg.link.c_str(), &lc, &why)) {
    return std::nullopt;
  }
  return lc;
}

// The input datagram due now, read straight into its ring slot as the edge does; with
// encryption the worker's step follows at once.
void feed(sim *s) {
  tesseltx *t = s->t.get();
  tun_slice *slot = tx_input_slot(t);
  for (unsigned k = 0; k < 7; ++k) {
    ts_stream_next(&s->ts, slot->udp_data + k * ts_size);
  }
  s->out.source.insert(s->out.source.end(), slot->udp_data, slot->udp_data + 7 * ts_size);
  if (s->first_input == 0) {
    s->first_input = s->now;
  }
  s->fed++;
  if (!tx_input(t, slot, 7 * ts_size, std::nullopt)) {
    return;
  }
  if (t->aes) {
    tun_slice *enc = tx_ring_slot(t, t->next - 1);
    aes_encrypt(t->aes.get(), enc);
  }
}

std::int64_t next_input_ns(const sim *s, std::int64_t input_start) {
  if (s->fed >= s->cfg.slices) {
    return INT64_MAX;
  }
  return input_start + static_cast<std::int64_t>(s->fed) * 1000000000 / s->cfg.rate;
}

// One pass of the transmitter's loop: the plan before select(), the wait, then input, then
// each transmission's read and write. The receiver runs at the same instants.
void pass(sim *s, std::int64_t input_start) {
  tesseltx *t = s->t.get();
  t->now = at(s->now);
  tun_switch_backup(t);
  bool busy = false;
  for (auto &p : s->paths) {
    p->writable = tr_plan(p->tr);
    busy = busy || p->writable || !p->inbox.empty();
  }
  const std::int64_t input_due = next_input_ns(s, input_start);
  std::int64_t wake = s->now + pass_cost_ns;
  if (!busy && input_due > s->now) {
    // select() sleeps until a datagram arrives at a socket or its time-out.
    wake = std::min({input_due, s->now + select_timeout_ns, rx_engine_poll(s->rx.get(), s->now)});
    for (auto &p : s->paths) {
      wake = std::min({wake, rx_impair_next_due(&p->down), rx_impair_next_due(&p->up)});
    }
    wake = std::max(wake, s->now + pass_cost_ns);
  }
  s->now = wake;
  for (auto &p : s->paths) {
    rx_impair_release(&p->down, s->now);
    rx_impair_release(&p->up, s->now);
  }
  rx_engine_poll(s->rx.get(), s->now);

  tx_tick(t, at(s->now));
  if (next_input_ns(s, input_start) <= s->now) {
    feed(s);
  }
  for (auto &p : s->paths) {
    if (!p->inbox.empty()) {
      std::vector<std::uint8_t> d = std::move(p->inbox.front());
      p->inbox.pop_front();
      std::memcpy(p->tr->packet.raw, d.data(), std::min(d.size(), sizeof p->tr->packet.raw));
      tr_receive(p->tr, d.size());
    }
    if (p->writable) {
      tr_send(p->tr, tx_send_fn{s, tx_send});
    }
  }
  s->out.passes++;
}

} // namespace

sim_result sim_run(const sim_config &cfg) {
  fd_capture log;
  auto s = std::make_unique<sim>();
  s->cfg = cfg;
  ts_stream_init(&s->ts, cfg.seed, std::uint64_t{cfg.rate} * 7 * ts_size * 8);
  make_transmitter(s.get());

  rx_config rc;
  rc.latency_ns = cfg.latency_ms * ms;
  rc.request_repeat_ns = cfg.request_repeat_ms * ms;
  rc.decrypt = cfg.encrypt;
  s->rx = std::make_unique<rx_engine>();
  const auto lc = link_model(cfg);
  if (!lc || !rx_engine_init(s->rx.get(), &s->nk, rc, rx_transport{s.get(), rx_send, rx_play})) {
    s->out.log = log.text() + "bad link model or receiver configuration\n";
    return s->out;
  }
  std::uint64_t stream = 1;
  for (transmission *tr = s->t->tr; tr != nullptr; tr = tr->next) {
    auto p = std::make_unique<sim_path>();
    p->s = s.get();
    p->tr = tr;
    p->tx_addr = address(0xC0A80001u + tr->id, static_cast<std::uint16_t>(6000 + tr->id));
    rx_impair_init(&p->down, *lc, stream++, 4096, to_receiver, p.get());
    rx_impair_init(&p->up, *lc, stream++, 4096, to_transmitter, p.get());
    s->paths.push_back(std::move(p));
  }

  // The receiver learns its peer from the first description and, with -K, fetches the key;
  // the stream starts once that had time to happen.
  const std::int64_t input_start = s->now + 500 * ms;
  const std::int64_t give_up =
      input_start +
      (static_cast<std::int64_t>(cfg.slices) * 1000 / cfg.rate + cfg.latency_ms * 4 + 2000) * ms;
  while (!s->t->stopping && s->now < give_up) {
    pass(s.get(), input_start);
    if (s->fed == cfg.slices && s->out.played.size() >= s->out.source.size()) {
      break;
    }
  }
  rx_engine_flush(s->rx.get());

  s->out.rx = s->rx->stat;
  s->out.stopped = s->t->stopping;
  s->out.exit_status = s->t->exit_status;
  s->out.active_at_end = s->t->active_tr->id;
  for (auto &p : s->paths) {
    s->out.resent += p->tr->stat.resent[0];
    s->out.parity += p->tr->stat.fec;
    for (const rx_impair *im : {&p->down, &p->up}) {
      s->out.lost_on_links += im->stat.lost_random + im->stat.lost_burst;
    }
  }
  s->out.log = log.text();
  return s->out;
}
