// Min/max/sum/count accumulator of signed 64-bit samples, cleared to its average at each
// statistics snapshot.
#pragma once

#include <cstdint>

struct int64_rrd {
  std::int64_t min = 0;
  std::int64_t max = 0;
  std::int64_t sum = 0;
  std::int64_t count = 0;
};

// Inline: the input and send paths sample on every datagram.
inline void rrd_int64_add(int64_rrd *acc, std::int64_t v) {
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
void rrd_int64_clear(int64_rrd *acc);
