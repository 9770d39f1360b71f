#include "transmission.h"

#include <arpa/inet.h>
#include <cinttypes>

#include "nodekit.h"
#include "tesseltx.h"

transmission *tr_new(tesseltx *t, const sockaddr_in &sin, int sock) {
  auto tr = std::make_unique<transmission>();
  tr->sin = sin;
  tr->sin.sin_family = AF_INET;
  tr->port = ntohs(sin.sin_port);
  tr->next_port = tr->port;
  tr->port_range_size = static_cast<std::uint32_t>(t->port_range_size);
  tr->sock = sock;
  tr->next_slice = 1;
  tr->first_to_repeat = 1;
  tr->info_request = 1;
  tr->active_flag = 1;
  tr->last_ping = t->now;
  tr->t = t;

  transmission *raw = tr.release(); // owned by the list for the life of the process
  if (t->tr == nullptr) {
    t->tr = raw;
  } else {
    transmission *tail = t->tr;
    while (tail->next != nullptr) {
      tail = tail->next;
    }
    tail->next = raw;
    raw->prev = tail;
  }
  raw->id = static_cast<std::uint8_t>(t->tr_count);
  t->tr_count++;
  return raw;
}

void tr_init_buffer(transmission *tr) {
  for (; tr != nullptr; tr = tr->next) {
    tr->slice = std::make_unique<tx_slice[]>(static_cast<std::size_t>(tr->t->buff_size));
  }
}

void tr_activate(transmission *tr) {
  tesseltx *t = tr->t;
  nk_log(&t->nk, LOG_NOTICE, "Activating tr%d @%" PRIu64, tr->id, t->next - 1);
  // Before the first datagram there is no newest slice; start at slice 1, which no slot holds
  // yet, rather than at 0, which no slot ever holds.
  const std::uint64_t start = t->next > 1 ? t->next - 1 : 1;
  tr->first_to_repeat = start;
  tr->next_slice = start;
  tr->active_flag = 1;
  tr->last_ping = t->now;
  tr->info_request = 1;
  tr->next_port = tr->port;
}
