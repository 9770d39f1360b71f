#include <cstdlib>

#include "nodekit.h"
#include "tesseltx.h"
#include "tunnel.h"

void tun_ping_request(transmission *tr) {
  tr->ping_seq = tr->packet.ping.seq;
  tr->ping = tr->packet.ping.departure_time;
  tr->last_ping = tr->t->now;
  tr->stat.ping_pkts++;
}

void tun_switch_backup(tesseltx *t) {
  transmission *active = t->active_tr;
  if (active == nullptr) {
    return;
  }
  if (!(t->flags & TX_FLAG_BACKUP)) {
    if (t->protocol_version < 6) {
      return;
    }
    if (t->ping_timeout_resocket_ms != 0 &&
        tun_universal_timeout(t, &active->last_ping, t->ping_timeout_resocket_ms)) {
      nk_log(&t->nk, LOG_ERR, "Recreating a socket on ping timeout %us", t->ping_timeout_resocket_ms / 1000);
      tr_resocket(active);
      active->last_ping = t->now;
    }
    if (t->ping_timeout_exit_ms != 0 && tun_universal_timeout(t, &active->last_ping, t->ping_timeout_exit_ms)) {
      nk_log(&t->nk, LOG_ERR, "Exiting on ping timeout %us", t->ping_timeout_exit_ms / 1000);
      std::exit(0);
    }
    return;
  }
  if (t->tr_count < 2) {
    return;
  }
  if (!tun_universal_timeout(t, &active->last_ping, tr_silence_ms(t->delay))) {
    return;
  }
  nk_log(&t->nk, LOG_WARNING, "Deactivating tr%d @%llu", active->id,
         static_cast<unsigned long long>(active->next_slice));
  active->active_flag = 0;
  t->active_tr = active->next != nullptr ? active->next : t->tr;
  tr_activate(t->active_tr);
}

void tun_alert(tesseltx *t) {
  if (!t->check_alerts) {
    return;
  }
  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (!tr->active_flag || !tun_universal_timeout(t, &tr->fuses.last_transmitted_data_packet, 1000)) {
      continue;
    }
    const timespec64 &last = tr->fuses.last_transmitted_data_packet;
    const std::int64_t ms = (t->now.tv_sec - last.tv_sec) * 1000 + (t->now.tv_nsec - last.tv_nsec) / 1000000;
    nk_log(&t->nk, LOG_WARNING, "[%d] Did not sent any data packet for %d.%03ds", tr->id,
           static_cast<int>(ms / 1000), static_cast<int>(ms % 1000));
  }
  t->check_alerts = 0;
}
