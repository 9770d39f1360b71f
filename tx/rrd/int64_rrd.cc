#include "int64_rrd.h"

void rrd_int64_add(int64_rrd *acc, std::int64_t v) {
  if (acc->count++ == 0) {
    acc->min = acc->max = v;
    acc->sum = 0;
  }
  if (v < acc->min) {
    acc->min = v;
  }
  if (v > acc->max) {
    acc->max = v;
  }
  acc->sum += v;
}

void rrd_int64_clear(int64_rrd *acc) {
  if (acc->count != 0) {
    const std::int64_t avg = acc->sum / acc->count;
    acc->sum = acc->min = acc->max = avg;
  }
  acc->count = 0;
}
