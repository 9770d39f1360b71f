#include "tun_pace.h"

bool tun_pace_ticks_next(tun_pace *p, bool ticked, std::size_t read, std::int64_t now_ns) {
  if (read == 0) {
    return false;
  }
  const bool close = read > 1 || (p->read_before && now_ns - p->last_read_ns < p->tick_ns);
  p->read_before = true;
  p->last_read_ns = now_ns;
  return ticked || close;
}
