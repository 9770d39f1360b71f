#include "pacing.h"

#include "tesseltx.h"

int tr_bandwidth(transmission *tr) {
  const tesseltx *t = tr->t;
  bandwidth &bw = tr->bw;
  const std::int64_t elapsed =
      (t->now.tv_sec - bw.start.tv_sec) * 1000 + (t->now.tv_nsec - bw.start.tv_nsec) / 1000000;
  if (elapsed >= 0 && elapsed < 1000) {
    const std::uint64_t allowed = bw.max * static_cast<std::uint64_t>(elapsed) / 1000;
    if (bw.count < allowed) {
      bw.count++;
      return 1;
    }
    return 0;
  }
  bw.count = 1;
  bw.start = t->now;
  return 1;
}
