#include "rx_request.h"

#include <algorithm>

#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr std::size_t header_size = sizeof(tun_packet_header);

void put_seq(rx_requests *r, std::uint64_t seq) {
  std::memcpy(r->packet + header_size + 8 * std::size_t{r->building}, &seq, sizeof seq);
  ++r->building;
}

void flush(rx_requests *r, rx_request_send send, void *ctx, bool probe = false) {
  if (r->building == 0) {
    return;
  }
  // A fresh id per packet: the transmitter then counts every number of it, while a copy of
  // the same packet (same id) within 200 ms counts once.
  const std::uint8_t head[header_size] = {tun_magic[0],
                                          tun_magic[1],
                                          tun_magic[2],
                                          tun_magic[3],
                                          r->version,
                                          static_cast<std::uint8_t>(TUN_REQUEST | tun_fec_bit),
                                          static_cast<std::uint8_t>(r->building),
                                          r->next_id++};
  std::memcpy(r->packet, head, header_size);
  send(ctx, std::span<const std::uint8_t>(r->packet, header_size + 8 * std::size_t{r->building}));
  ++(probe ? r->stat.probes : r->stat.packets);
  r->building = 0;
}

void ask(rx_requests *r, std::uint64_t seq, rx_request_send send, void *ctx) {
  put_seq(r, seq);
  ++r->stat.seqs;
  if (r->building == rx_request_max_seqs) {
    flush(r, send, ctx);
  }
}

rx_missing &at(rx_requests *r, std::uint64_t i) {
  return r->list[static_cast<std::size_t>((r->first + i) % r->capacity)];
}

} // namespace

bool rx_requests_init(rx_requests *r, std::uint64_t capacity, std::uint8_t version) {
  // On a 32-bit target new[] would take the count modulo 2^32 and "succeed" small.
  if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(rx_missing)) {
    return false;
  }
  r->list.reset(new (std::nothrow) rx_missing[static_cast<std::size_t>(capacity)]);
  if (!r->list) {
    return false;
  }
  r->capacity = capacity;
  r->first = 0;
  r->count = 0;
  r->version = version;
  r->next_scan_ns = INT64_MAX;
  return true;
}

void rx_requests_add(rx_requests *r, std::uint64_t from, std::uint64_t to, std::int64_t due_ns,
                     std::uint64_t wait_pos) {
  // A jump wider than the list cannot be held by the window either: keep its newest part.
  if (to - from > r->capacity) {
    r->stat.overflow += to - from - r->capacity;
    from = to - r->capacity;
  }
  for (std::uint64_t seq = from; seq < to; ++seq) {
    if (r->count == r->capacity) {
      // The oldest number is the closest to being given up at play-out.
      r->first = (r->first + 1) % r->capacity;
      --r->count;
      ++r->stat.overflow;
    }
    at(r, r->count) = rx_missing{seq, due_ns, wait_pos, 0};
    ++r->count;
  }
  if (due_ns < r->next_scan_ns) {
    r->next_scan_ns = due_ns;
  }
  if (wait_pos != 0 && wait_pos < r->lowest_wait) {
    r->lowest_wait = wait_pos;
  }
}

bool rx_requests_position(rx_requests *r, std::uint64_t pos) {
  if (pos >= r->fec_seen) {
    r->fec_seen = pos + 1;
  }
  return r->fec_seen > r->lowest_wait;
}

void rx_requests_scan(rx_requests *r, const rx_window *w, std::int64_t now_ns, rx_request_send send,
                      void *ctx) {
  std::int64_t next = INT64_MAX;
  std::uint64_t kept = 0;
  std::uint64_t lowest_wait = UINT64_MAX;
  for (std::uint64_t i = 0; i < r->count; ++i) {
    rx_missing m = at(r, i);
    if (!rx_window_missing(w, m.seq)) {
      continue; // arrived, rebuilt, or its turn has passed
    }
    // Its group's parity has had its chance once a later position arrived.
    const bool waited = m.asks == 0 && m.wait_pos != 0 && r->fec_seen > m.wait_pos;
    if (m.due_ns <= now_ns || waited) {
      if (m.asks > 0) {
        ++r->stat.repeats;
      }
      ++m.asks;
      m.due_ns = now_ns + r->repeat_ns;
      ask(r, m.seq, send, ctx);
    }
    next = m.due_ns < next ? m.due_ns : next;
    if (m.asks == 0 && m.wait_pos != 0 && m.wait_pos < lowest_wait) {
      lowest_wait = m.wait_pos;
    }
    at(r, kept++) = m;
  }
  r->count = kept;
  r->lowest_wait = lowest_wait;
  flush(r, send, ctx);
  r->next_scan_ns = next;
}

void rx_requests_note_rtt(rx_requests *r, std::int64_t rtt_ns) {
  if (rtt_ns <= 0 || rtt_ns > rx_request_repeat_max_ns) {
    return;
  }
  if (r->srtt_ns == 0) {
    r->srtt_ns = rtt_ns;
    r->rttvar_ns = rtt_ns / 2;
  } else {
    const std::int64_t dev = r->srtt_ns > rtt_ns ? r->srtt_ns - rtt_ns : rtt_ns - r->srtt_ns;
    r->rttvar_ns = (3 * r->rttvar_ns + dev) / 4;
    r->srtt_ns = (7 * r->srtt_ns + rtt_ns) / 8;
  }
  if (!r->repeat_follows_rtt) {
    return;
  }
  const std::int64_t margin = std::max(r->rttvar_ns, rx_request_repeat_margin_ns);
  r->repeat_ns = std::clamp(r->srtt_ns + margin, rx_request_repeat_min_ns, rx_request_repeat_max_ns);
}

void rx_requests_probe(rx_requests *r, std::uint64_t from, unsigned n, rx_request_send send, void *ctx) {
  flush(r, send, ctx);
  for (unsigned i = 0; i < n && i < rx_request_max_seqs; ++i) {
    put_seq(r, from + i);
  }
  flush(r, send, ctx, true);
}
