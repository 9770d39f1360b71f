#include "liveness.h"

#include "nodekit.h"
#include "stop.h"
#include "tesseltx.h"
#include "transmission.h"

std::uint64_t tr_silence_ms(unsigned int delay_ms) {
  const std::uint64_t rule = static_cast<std::uint64_t>(delay_ms) * 12 / 10;
  return rule < tr_silence_floor_ms ? tr_silence_floor_ms : rule;
}

void tun_ping_request(transmission *tr) {
  tr->ping_seq = tr->packet.ping.seq;
  tr->ping = tr->packet.ping.departure_time;
  tr->last_ping = tr->t->now;
  tr->stat.ping_pkts++;
}

tun_backup_action tun_switch_backup(tesseltx *t) {
  transmission *active = t->active_tr;
  if (active == nullptr) {
    return tun_backup_action::none;
  }
  if (!(t->flags & TX_FLAG_BACKUP)) {
    if (t->protocol_version < 6) {
      return tun_backup_action::none;
    }
    if (t->ping_timeout_resocket_ms != 0 &&
        tun_universal_timeout(t, &active->last_ping, t->ping_timeout_resocket_ms)) {
      nk_log(&t->nk, LOG_ERR, "Recreating a socket on ping timeout %us", t->ping_timeout_resocket_ms / 1000);
      active->last_ping = t->now;
      return tun_backup_action::resocket;
    }
    if (t->ping_timeout_exit_ms != 0 &&
        tun_universal_timeout(t, &active->last_ping, t->ping_timeout_exit_ms)) {
      tx_stop(t, 0, "Exiting on ping timeout %us", t->ping_timeout_exit_ms / 1000);
    }
    return tun_backup_action::none;
  }
  if (t->tr_count < 2) {
    return tun_backup_action::none;
  }
  if (!tun_universal_timeout(t, &active->last_ping, tr_silence_ms(t->delay))) {
    return tun_backup_action::none;
  }
  nk_log(&t->nk, LOG_WARNING, "Deactivating tr%d @%llu", active->id,
         static_cast<unsigned long long>(active->next_slice));
  active->active_flag = 0;
  t->active_tr = active->next != nullptr ? active->next : t->tr;
  tr_activate(t->active_tr);
  return tun_backup_action::none;
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

void tx_tick(tesseltx *t, const timespec64 &now) {
  if (timespec64_before(now, t->now)) {
    nk_log(&t->nk, LOG_ERR, "Monotonic clock reversal %d.%09lu -> %d.%09lu", static_cast<int>(t->now.tv_sec),
           static_cast<unsigned long>(t->now.tv_nsec), static_cast<int>(now.tv_sec),
           static_cast<unsigned long>(now.tv_nsec));
  }
  t->now = now;
  // Every active output is timed from the first pass, not only the one that backup switching
  // watches: otherwise the no-data alert would measure an output that never sent from the
  // clock's origin.
  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (tr->active_flag && tr->fuses.last_transmitted_data_packet.tv_sec == 0) {
      tr->fuses.last_transmitted_data_packet = t->now;
    }
  }
  tun_alert(t);
}
