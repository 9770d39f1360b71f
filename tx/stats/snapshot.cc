#include "snapshot.h"

#include "tesseltx.h"

void tun_stats_snapshot(tesseltx *t) {
  t->check_alerts = 1;
  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    tr->stat2 = tr->stat;
    rrd_int64_clear(&tr->stat.tr_queue);
    rrd_int64_clear(&tr->stat.retr_queue);
  }
  if (t->aes) {
    std::lock_guard lock(t->aes->mutex);
    t->stat.t_aes = t->aes->cpu_time;
  }
  t->stat2 = t->stat;
  rrd_int64_clear(&t->stat.from_driver);
  for (rrdc *c : {&t->rrd, &t->rrd2}) {
    if (c->line_no == 0) {
      c->line_no = 1;
    }
    c->now.tv_sec = t->now_tv.tv_sec;
  }
}
