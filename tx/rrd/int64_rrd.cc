#include "int64_rrd.h"

void rrd_int64_clear(int64_rrd *acc) {
  if (acc->count != 0) {
    const std::int64_t avg = acc->sum / acc->count;
    acc->sum = acc->min = acc->max = avg;
  }
  acc->count = 0;
}
