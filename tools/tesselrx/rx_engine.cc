#include "rx_engine.h"

#include <arpa/inet.h>
#include <cinttypes>
#include <cstring>

#include "aes_receive.h"

namespace {

// Refused datagrams are logged up to this many times; after that they are only counted, so
// that a flood cannot fill the log.
constexpr unsigned reject_log_limit = 20;

const char *reject_text(rx_reject r) {
  switch (r) {
  case rx_reject::wrong_magic:
    return "wrong magic";
  case rx_reject::wrong_version:
    return "wrong protocol version";
  case rx_reject::unknown_type:
    return "unknown type";
  case rx_reject::malformed:
    return "malformed";
  case rx_reject::none:
    break;
  }
  return "accepted";
}

std::int64_t sat_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) {
    return b > 0 ? INT64_MAX : INT64_MIN;
  }
  return r;
}

std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) {
    return b < 0 ? INT64_MAX : INT64_MIN;
  }
  return r;
}

timespec64 to_timespec64(std::int64_t ns) {
  timespec64 t{ns / 1000000000, ns % 1000000000};
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    t.tv_sec -= 1;
  }
  return t;
}

void count_reject(rx_engine *e, rx_reject r, std::size_t len, const sockaddr_in &from, const std::uint8_t *d) {
  switch (r) {
  case rx_reject::wrong_magic:
    ++e->stat.wrong_magic;
    break;
  case rx_reject::wrong_version:
    ++e->stat.wrong_version;
    break;
  case rx_reject::unknown_type:
    ++e->stat.unknown_type;
    break;
  case rx_reject::malformed:
    ++e->stat.malformed;
    break;
  case rx_reject::none:
    return;
  }
  if (e->reject_logs < reject_log_limit) {
    ++e->reject_logs;
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
    const unsigned b4 = len > 4 ? d[4] : 0;
    const unsigned b5 = len > 5 ? d[5] : 0;
    nk_log(e->nk, LOG_INFO, "Dropped datagram from %s:%u: %s (%zu bytes, version %u, byte 5 0x%02x)%s", addr,
           static_cast<unsigned>(ntohs(from.sin_port)), reject_text(r), len, b4, b5,
           e->reject_logs == reject_log_limit ? "; further ones are only counted" : "");
  }
}

void emit(rx_engine *e, std::span<const std::uint8_t> d, const sockaddr_in &to) {
  ++e->stat.sent_datagrams;
  e->stat.sent_bytes += d.size();
  e->io.send(e->io.ctx, d, to);
}

void send_request(void *ctx, std::span<const std::uint8_t> d) {
  auto *e = static_cast<rx_engine *>(ctx);
  emit(e, d, e->peer);
}

void send_info(rx_engine *e, std::uint8_t type, const sockaddr_in &to) {
  if (e->info_packet.size() < sizeof(tun_packet_header)) {
    return;
  }
  e->info_packet[5] = static_cast<std::uint8_t>((e->info_packet[5] & ~tun_type_mask) | type);
  emit(e, e->info_packet, to);
  ++e->stat.info_sent;
}

void learn_peer(rx_engine *e, const sockaddr_in &from, std::int64_t now_ns) {
  if (e->peer_known && e->peer.sin_addr.s_addr == from.sin_addr.s_addr && e->peer.sin_port == from.sin_port) {
    return;
  }
  const bool first = !e->peer_known;
  if (!first) {
    // Positions from another source would mix with those held: a rebuild could be garbage.
    rx_fec_reset(&e->fec);
    e->req.fec_seen = 0;
  }
  e->peer = from;
  e->peer_known = true;
  char addr[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
  nk_log(e->nk, LOG_NOTICE, "Transmitter at %s:%u", addr, static_cast<unsigned>(ntohs(from.sin_port)));
  if (first) {
    e->next_ping_ns = now_ns;
    // Version 5 peers answer descriptions but do not expect one unasked.
    if (e->cfg.protocol_version >= 6) {
      send_info(e, TUN_INFO_REQUEST, e->peer);
    }
  }
}

// Two texts of up to 255 bytes each, escaped, in a log line of 254 characters.
constexpr std::size_t info_text_log_max = 96;

std::string or_none(const std::optional<std::string> &s) {
  return s ? tun_printable(*s, info_text_log_max) : "(none)";
}

// With parity on the way, the first request waits until a packet past the parity of the
// newest group has arrived (the parity has then had its chance), or a quarter of the latency.
void note_missing(rx_engine *e, std::uint64_t from, std::uint64_t to, std::int64_t now_ns) {
  std::uint64_t wait_pos = 0;
  std::int64_t due = now_ns;
  if (e->fec_seen) {
    const std::uint64_t g = e->fec.group >= 2 && e->fec.group <= 256 ? e->fec.group : 0;
    // The missing ones went out before the newest position: their parity is at latest that
    // of the position just before it.
    const std::uint64_t before = e->req.fec_seen > 1 ? e->req.fec_seen - 2 : 0;
    wait_pos = g != 0 ? before - before % g + g - 1 : before + 1;
    due = sat_add(now_ns, e->cfg.latency_ns / 4);
  }
  rx_requests_add(&e->req, from, to, due, wait_pos);
}

// A first send arriving after its slice was rebuilt or resent was only overtaken, not lost.
void reclassify(rx_engine *e, const rx_packet &p) {
  rx_slot &s = e->window.slots[static_cast<std::size_t>(p.seq & (e->window.capacity - 1))];
  if (s.filled && s.seq == p.seq && !p.rebuilt && p.type == TUN_DATA) {
    s.origin = rx_origin::wire;
  }
}

bool keyed(const rx_engine *e) { return e->aes && (e->aes->flags & AES_FLAG_KEY_RECEIVED); }

// The slice's stream bytes in clear: as they came, or decrypted into the engine's own buffer.
// False when an encrypted slice cannot be read (no key yet, or the cipher failed).
bool clear_bytes(rx_engine *e, const rx_packet &p, std::span<const std::uint8_t> *ts) {
  *ts = p.ts;
  if (!p.encrypted) {
    if (e->aes && !keyed(e) && !e->key_not_needed) {
      e->key_not_needed = true;
      nk_log(e->nk, LOG_NOTICE, "The stream arrives in clear: no key is asked for");
    }
    return true;
  }
  if (keyed(e)) {
    std::memcpy(e->clear, p.ts.data(), p.ts.size());
    const std::span<std::uint8_t> out(e->clear, p.ts.size());
    if (aes_decrypt_ts(e->aes.get(), p.seq, out)) {
      ++e->stat.decrypted;
      *ts = out;
      return true;
    }
  }
  ++e->stat.undecryptable;
  if (!e->undecryptable_logged) {
    e->undecryptable_logged = true;
    nk_log(e->nk, LOG_WARNING, "Encrypted slice %" PRIu64 " dropped: %s", p.seq,
           e->aes ? "no transmission key yet" : "decryption is off (-K)");
  }
  return false;
}

void take_key(rx_engine *e, std::span<const std::uint8_t> d, const sockaddr_in &from) {
  // Only the transmitter that was asked may set the key; anyone can encrypt to a public key.
  if (!e->aes || !e->peer_known || e->peer.sin_addr.s_addr != from.sin_addr.s_addr ||
      e->peer.sin_port != from.sin_port) {
    return;
  }
  if (aes_receive_key(e->aes.get(), d)) {
    ++e->stat.keys_accepted;
    nk_log(e->nk, LOG_NOTICE, "Transmission key accepted: AES%d", aes_bits(e->aes.get()));
  }
}

void ask_for_key(rx_engine *e, std::int64_t now_ns) {
  const timespec64 now = to_timespec64(now_ns);
  const tun_packet_header *h = aes_get_request_packet(e->aes.get(), &now);
  emit(e, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t *>(h), aes_request_length(e->aes.get())),
       e->peer);
  e->key_asked = true;
  ++e->stat.key_requests;
}

void handle_data(rx_engine *e, const rx_packet &p, std::int64_t now_ns) {
  if (!p.rebuilt) {
    ++(p.type == TUN_DATA_RESENT ? e->stat.data_resent : e->stat.data);
  }
  if (p.fec_layout) {
    ++e->stat.data_fec_layout;
  }
  // A slice behind the head stamped later than anything held comes from a restarted
  // transmitter, which has a key of its own: the old one would turn its stream into noise.
  const rx_window &w = e->window;
  // Once: until a slice is stored again, the key that comes next is the new one.
  if (keyed(e) && !e->rekeying && p.encrypted && w.head != 0 && p.seq < w.head &&
      p.slice_time_ns > w.newest_time_ns) {
    e->aes->flags = static_cast<std::uint8_t>(e->aes->flags & ~AES_FLAG_KEY_RECEIVED);
    e->rekeying = true;
    e->key_asked = false;
    e->undecryptable_logged = false;
    nk_log(e->nk, LOG_NOTICE, "A new stream at slice %" PRIu64 ": asking for its key", p.seq);
  }
  std::span<const std::uint8_t> ts;
  if (!clear_bytes(e, p, &ts)) {
    return;
  }
  const std::uint64_t highest_before = e->window.highest;
  const std::uint64_t pending_before = e->window.pending;
  const bool started = e->window.head != 0;
  // Before anything plays, a slice behind the head whose turn has passed (a resend another
  // receiver asked for before this one started) must not pull the head back: the live slices
  // after it would all be late. A restarted transmitter's slice is told apart by its time, in the window.
  if (started && !e->window.playing && p.seq < e->window.head && p.slice_time_ns <= e->window.newest_time_ns &&
      rx_engine_due(e, p.slice_time_ns) < now_ns) {
    ++e->stat.late;
    return;
  }
  bool fresh = !started;
  bool resynced = false;
  switch (rx_window_insert(&e->window, p.seq, p.slice_time_ns, ts)) {
  case rx_insert::duplicate:
    ++e->stat.duplicates;
    reclassify(e, p);
    return;
  case rx_insert::late:
    ++e->stat.late;
    return;
  case rx_insert::out_of_window:
    ++e->stat.out_of_window;
    return;
  case rx_insert::resynced:
    ++e->stat.resyncs;
    e->stat.lost += pending_before; // the old stream's tail, dropped unplayed
    nk_log(e->nk, LOG_WARNING, "Stream moved from slice %" PRIu64 " to %" PRIu64, highest_before, p.seq);
    // A new stream may come from a new clock and numbers its parity groups afresh.
    e->offset_known = false;
    rx_fec_reset(&e->fec);
    e->req.fec_seen = 0;
    fresh = p.seq < highest_before;
    resynced = true;
    [[fallthrough]];
  case rx_insert::stored:
    if (fresh) {
      if (!started) {
        nk_log(e->nk, LOG_NOTICE, "First slice received: %" PRIu64, p.seq);
      }
      if (p.seq > 1 && p.seq <= e->cfg.fresh_stream_max && p.seq < e->window.capacity) {
        // Nothing has played yet, so the head may still stand before this slice.
        e->window.head = 1;
        note_missing(e, 1, p.seq, now_ns);
      }
    } else if (!resynced && p.seq > highest_before + 1) {
      ++e->stat.gaps;
      e->stat.gap_slices += p.seq - highest_before - 1;
      note_missing(e, highest_before + 1, p.seq, now_ns);
    }
    e->rekeying = false;
    e->window.slots[static_cast<std::size_t>(p.seq & (e->window.capacity - 1))].origin =
        p.rebuilt ? rx_origin::parity : (p.type == TUN_DATA_RESENT ? rx_origin::resend : rx_origin::wire);
    break;
  }
  // Only slices that were taken in move the clock offset: a refused one cannot shift play-out.
  const std::int64_t offset = sat_sub(now_ns, p.slice_time_ns);
  if (!e->offset_known || offset < e->offset_ns) {
    e->offset_ns = offset;
    e->offset_known = true;
  }
  if (e->stat.slices == 0 || p.seq < e->stat.first_seq) {
    e->stat.first_seq = p.seq;
  }
  ++e->stat.slices;
  e->stat.slice_bytes += ts.size();
  if (p.seq > e->stat.highest_seq) {
    e->stat.highest_seq = p.seq;
  }
}

void note_position(rx_engine *e, std::uint64_t pos, std::int64_t now_ns) {
  if (rx_requests_position(&e->req, pos) && now_ns < e->req.next_scan_ns) {
    e->req.next_scan_ns = now_ns;
  }
}

// The rebuilt image goes the way of a received one, through the same checks, as a plain data
// packet.
void take_rebuilt(rx_engine *e, std::size_t image_len, std::int64_t now_ns) {
  constexpr std::size_t at = offsetof(tun_data_packet, slice);
  tun_packet_header h{};
  tun_header_init(&h, e->cfg.protocol_version, TUN_DATA);
  h.size = 0;
  h.id = 0;
  std::memcpy(e->rebuilt, &h, sizeof h);
  std::memset(e->rebuilt + sizeof h, 0, at - sizeof h);
  rx_packet p;
  const std::span<const std::uint8_t> d(e->rebuilt, at + image_len);
  if (rx_parse_datagram(d, e->cfg.protocol_version, &p) != rx_reject::none || p.kind != rx_kind::data) {
    ++e->stat.malformed;
    return;
  }
  // A rebuild stands for a slice that is missing, or one just past the newest (the last of its
  // group); anything else means the group was not what it seemed, and its bytes are not used.
  const rx_window &w = e->window;
  const bool wanted = w.head == 0 || rx_window_missing(&w, p.seq) || (p.seq > w.highest && p.seq - w.highest <= 256);
  if (!wanted) {
    return;
  }
  p.rebuilt = true;
  handle_data(e, p, now_ns);
}

void try_rebuild(rx_engine *e, std::uint64_t pos, std::int64_t now_ns) {
  constexpr std::size_t at = offsetof(tun_data_packet, slice);
  std::size_t len = 0;
  if (rx_fec_rebuild(&e->fec, pos, e->rebuilt + at, &len)) {
    take_rebuilt(e, len, now_ns);
  }
}

void handle_parity(rx_engine *e, const rx_packet &p, std::int64_t now_ns) {
  ++e->stat.fec_parity;
  rx_fec_parity(&e->fec, p.fec_seq, p.image, p.ts_packets);
  try_rebuild(e, p.fec_seq, now_ns);
  note_position(e, p.fec_seq, now_ns);
}

// Any slice from the transmitter shows the stream is running: the silence probe waits again.
void after_data(rx_engine *e, const rx_packet &p, std::int64_t now_ns) {
  e->last_data_ns = now_ns;
  e->next_probe_ns = sat_add(now_ns, e->cfg.probe_after_ns);
  if (p.fec_layout) {
    rx_fec_data(&e->fec, p.fec_seq, p.image, tun_slice_image_size(p.ts_packets));
    try_rebuild(e, p.fec_seq, now_ns);
    note_position(e, p.fec_seq, now_ns);
  }
}

void handle_ping_reply(rx_engine *e, const rx_packet &p, std::int64_t now_ns) {
  ++e->stat.ping_replies;
  if (p.ping_seq == 0 || p.ping_seq > e->ping_seq || p.ping_src_ns > now_ns) {
    return; // not an echo of a ping of ours
  }
  const std::int64_t rtt = now_ns - p.ping_src_ns;
  if (e->stat.rtt_count == 0 || rtt < e->stat.rtt_min_ns) {
    e->stat.rtt_min_ns = rtt;
  }
  if (e->stat.rtt_count == 0 || rtt > e->stat.rtt_max_ns) {
    e->stat.rtt_max_ns = rtt;
  }
  e->stat.rtt_sum_ns = sat_add(e->stat.rtt_sum_ns, rtt);
  ++e->stat.rtt_count;
}

void handle_info(rx_engine *e, const rx_packet &p, std::span<const std::uint8_t> d, const sockaddr_in &from) {
  ++(p.type == TUN_INFO_REQUEST ? e->stat.info_requests : e->stat.info_replies);
  if (tun_receive_info_packet(&e->peer_info, d) != 0) {
    const tun_info &i = e->peer_info;
    nk_log(e->nk, LOG_INFO, "RX info: HA%" PRIu64 ": %s, rx%" PRIu64 ": %s", i.node_no,
           or_none(i.cluster_name).c_str(), i.endpoint_no, or_none(i.description).c_str());
  }
  if (p.type == TUN_INFO_REQUEST) {
    send_info(e, TUN_INFO_REPLY, from); // to whoever asked
  }
}

void send_ping(rx_engine *e, std::int64_t now_ns) {
  tun_packet_header h{};
  tun_header_init(&h, e->cfg.protocol_version, TUN_PING);
  h.size = 0;
  h.id = 0;
  const std::uint64_t seq = ++e->ping_seq;
  const timespec64 departure = to_timespec64(now_ns);
  const timespec64 none{};
  std::memcpy(e->out + offsetof(tun_ping_packet, h), &h, sizeof h);
  std::memcpy(e->out + offsetof(tun_ping_packet, seq), &seq, sizeof seq);
  std::memcpy(e->out + offsetof(tun_ping_packet, departure_time), &departure, sizeof departure);
  std::memcpy(e->out + offsetof(tun_ping_packet, src_time), &none, sizeof none);
  emit(e, std::span<const std::uint8_t>(e->out, tun_ping_len), e->peer);
  ++e->stat.pings_sent;
}

void play_slot(rx_engine *e, const rx_slot &s, std::uint64_t missing_before) {
  e->stat.lost += missing_before;
  ++e->stat.played;
  if (s.origin == rx_origin::parity) {
    ++e->stat.recovered_fec;
  } else if (s.origin == rx_origin::resend) {
    ++e->stat.recovered_resend;
  }
  const std::size_t bytes = ts_packet_size * s.ts_packets;
  e->stat.played_bytes += bytes;
  if (bytes > 0) {
    e->io.play(e->io.ctx, std::span<const std::uint8_t>(s.data, bytes));
  }
  rx_window_pop(&e->window);
}

void ask_again(rx_engine *e, std::int64_t now_ns) {
  if (now_ns >= e->req.next_scan_ns) {
    rx_requests_scan(&e->req, &e->window, now_ns, send_request, e);
  }
  if (now_ns < e->next_probe_ns) {
    return;
  }
  // Past the latency the slices after the highest could no longer be played in their turn.
  if (e->window.head != 0 && now_ns - e->last_data_ns <= sat_add(e->cfg.latency_ns, e->cfg.probe_after_ns)) {
    rx_requests_probe(&e->req, e->window.highest + 1, e->cfg.probe_slices, send_request, e);
    e->next_probe_ns = sat_add(now_ns, e->req.repeat_ns);
  } else {
    e->next_probe_ns = INT64_MAX;
  }
}

} // namespace

bool rx_engine_init(rx_engine *e, NKCx *nk, const rx_config &cfg, const rx_transport &io) {
  e->nk = nk;
  e->cfg = cfg;
  e->io = io;
  e->info_packet = tun_prepare_info_packet(&e->cfg.info, cfg.protocol_version);
  if (!rx_requests_init(&e->req, e->cfg.window_slices, cfg.protocol_version) || !rx_fec_init(&e->fec)) {
    nk_log(nk, LOG_ERR, "Unable to allocate the request list and the parity store");
    return false;
  }
  e->req.repeat_ns = cfg.request_repeat_ns;
  if (!rx_window_init(&e->window, cfg.window_slices)) {
    nk_log(nk, LOG_ERR, "Unable to allocate a play-out window of %" PRIu64 " slices", cfg.window_slices);
    return false;
  }
  if (cfg.decrypt) {
    e->aes = aes_new(nk);
    if (!aes_init_decryption(e->aes.get())) {
      return false;
    }
  }
  return true;
}

rx_reject rx_engine_input(rx_engine *e, std::span<const std::uint8_t> d, const sockaddr_in &from,
                          std::int64_t now_ns) {
  ++e->stat.datagrams;
  e->stat.datagram_bytes += d.size();
  rx_packet p;
  const rx_reject r = rx_parse_datagram(d, e->cfg.protocol_version, &p);
  if (r != rx_reject::none) {
    count_reject(e, r, d.size(), from, d.data());
    return r;
  }
  // The transmitter is where the stream comes from; before the first slice, whoever spoke first.
  // So a stray control packet from elsewhere cannot turn the pings away from a running stream.
  if (p.kind == rx_kind::data || !e->peer_known) {
    learn_peer(e, from, now_ns);
  }
  switch (p.kind) {
  case rx_kind::data:
    if (p.fec_layout) {
      e->fec_seen = true;
      rx_requests_position(&e->req, p.fec_seq);
    }
    handle_data(e, p, now_ns);
    after_data(e, p, now_ns);
    break;
  case rx_kind::fec_parity:
    handle_parity(e, p, now_ns);
    break;
  case rx_kind::ping_reply:
    handle_ping_reply(e, p, now_ns);
    break;
  case rx_kind::info:
    handle_info(e, p, d, from);
    break;
  case rx_kind::key_reply:
    ++e->stat.key_replies;
    take_key(e, d, from);
    break;
  }
  return rx_reject::none;
}

std::int64_t rx_engine_due(const rx_engine *e, std::int64_t slice_time_ns) {
  return sat_add(sat_add(slice_time_ns, e->offset_ns), e->cfg.latency_ns);
}

std::int64_t rx_engine_poll(rx_engine *e, std::int64_t now_ns) {
  std::int64_t wake = sat_add(now_ns, e->cfg.ping_interval_ns);
  std::uint64_t missing = 0;
  while (const rx_slot *s = rx_window_peek(&e->window, &missing)) {
    const std::int64_t due = rx_engine_due(e, s->time_ns);
    if (due > now_ns) {
      wake = due < wake ? due : wake;
      break;
    }
    play_slot(e, *s, missing);
  }
  if (e->peer_known) {
    if (now_ns >= e->next_ping_ns) {
      send_ping(e, now_ns);
      // A late poll does not make up for missed pings with a burst.
      e->next_ping_ns = sat_add(now_ns, e->cfg.ping_interval_ns);
    }
    wake = e->next_ping_ns < wake ? e->next_ping_ns : wake;
    ask_again(e, now_ns);
    wake = e->req.next_scan_ns < wake ? e->req.next_scan_ns : wake;
    wake = e->next_probe_ns < wake ? e->next_probe_ns : wake;
  }
  if (e->aes && e->peer_known && !e->key_not_needed && !keyed(e)) {
    const timespec64 now = to_timespec64(now_ns);
    if (!e->key_asked || aes_timeout(e->aes.get(), &now)) {
      ask_for_key(e, now_ns);
    }
    const timespec64 &last = e->aes->timeout;
    const std::int64_t again = sat_add(sat_add(last.tv_sec * 1000000000, last.tv_nsec),
                                       aes_request_interval_ms * 1000000 + 1);
    wake = again < wake ? again : wake;
  }
  return wake;
}

void rx_engine_flush(rx_engine *e) {
  std::uint64_t missing = 0;
  while (const rx_slot *s = rx_window_peek(&e->window, &missing)) {
    play_slot(e, *s, missing);
  }
}

void rx_engine_report(const rx_engine *e) {
  const rx_stats &s = e->stat;
  nk_log(e->nk, LOG_NOTICE,
         "Slices: received %" PRIu64 ", bytes %" PRIu64 ", first %" PRIu64 ", highest %" PRIu64 ", played %" PRIu64
         ", played_bytes %" PRIu64,
         s.slices, s.slice_bytes, s.first_seq, s.highest_seq, s.played, s.played_bytes);
  nk_log(e->nk, LOG_NOTICE,
         "Missing: duplicates %" PRIu64 ", late %" PRIu64 ", out_of_window %" PRIu64 ", gaps %" PRIu64
         ", gap_slices %" PRIu64 ", lost %" PRIu64 ", resyncs %" PRIu64,
         s.duplicates, s.late, s.out_of_window, s.gaps, s.gap_slices, s.lost, s.resyncs);
  nk_log(e->nk, LOG_NOTICE,
         "Packets: datagrams %" PRIu64 ", data %" PRIu64 ", resent %" PRIu64 ", fec_layout %" PRIu64 ", fec %" PRIu64
         ", ping_replies %" PRIu64 ", info_requests %" PRIu64 ", info_replies %" PRIu64 ", key_replies %" PRIu64,
         s.datagrams, s.data, s.data_resent, s.data_fec_layout, s.fec_parity, s.ping_replies, s.info_requests,
         s.info_replies, s.key_replies);
  nk_log(e->nk, LOG_NOTICE,
         "Dropped: wrong_magic %" PRIu64 ", wrong_version %" PRIu64 ", unknown_type %" PRIu64 ", malformed %" PRIu64,
         s.wrong_magic, s.wrong_version, s.unknown_type, s.malformed);
  nk_log(e->nk, LOG_NOTICE,
         "Recovered: fec %" PRIu64 ", resend %" PRIu64 ", rebuilt %" PRIu64 ", request_packets %" PRIu64
         ", requested %" PRIu64 ", repeated %" PRIu64 ", probes %" PRIu64 ", unlisted %" PRIu64,
         s.recovered_fec, s.recovered_resend, e->fec.stat.rebuilt, e->req.stat.packets, e->req.stat.seqs,
         e->req.stat.repeats, e->req.stat.probes, e->req.stat.overflow);
  nk_log(e->nk, LOG_NOTICE, "Wire: datagram_bytes %" PRIu64 ", sent_datagrams %" PRIu64 ", sent_bytes %" PRIu64,
         s.datagram_bytes, s.sent_datagrams, s.sent_bytes);
  const std::int64_t avg = s.rtt_count ? s.rtt_sum_ns / static_cast<std::int64_t>(s.rtt_count) : 0;
  nk_log(e->nk, LOG_NOTICE,
         "Pings: sent %" PRIu64 ", answered %" PRIu64 ", rtt_min_us %" PRId64 ", rtt_avg_us %" PRId64
         ", rtt_max_us %" PRId64 ", info_sent %" PRIu64,
         s.pings_sent, s.rtt_count, s.rtt_min_ns / 1000, avg / 1000, s.rtt_max_ns / 1000, s.info_sent);
  nk_log(e->nk, LOG_NOTICE,
         "Keys: key_requests %" PRIu64 ", keys_accepted %" PRIu64 ", decrypted %" PRIu64 ", undecryptable %" PRIu64,
         s.key_requests, s.keys_accepted, s.decrypted, s.undecryptable);
}
