#include "snapshot.h"

#include <algorithm>
#include <limits>

#include "tesseltx.h"

std::int64_t tun_stats_stamp(std::int64_t previous, std::int64_t wall) {
  if (wall > previous) {
    return wall;
  }
  return previous < std::numeric_limits<std::int64_t>::max() ? previous + 1 : previous;
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
    // Each client keeps its own last stamp in `now`: the two servers may have seen different
    // first stamps (each client starts with the wall clock of its own start-up).
    const std::int64_t stamp = tun_stats_stamp(c->now.tv_sec, t->now_tv.tv_sec);
    c->now.tv_sec = static_cast<time_t>(std::min<std::int64_t>(stamp, std::numeric_limits<time_t>::max()));
  }
}
