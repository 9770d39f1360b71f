#include "stats.h"

#include "tesseltx.h"

void tun_buffer_statistics(tesseltx *t, transmission *tr) {
  auto sample = [t](transmission *x) {
    rrd_int64_add(&x->stat.tr_queue, static_cast<std::int64_t>(t->next - x->next_slice));
    rrd_int64_add(&x->stat.retr_queue, static_cast<std::int64_t>(x->stat.slices_to_resend));
  };
  if (tr != nullptr) {
    sample(tr);
    return;
  }
  for (transmission *x = t->tr; x != nullptr; x = x->next) {
    sample(x);
  }
}

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
