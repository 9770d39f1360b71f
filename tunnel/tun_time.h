// The transmitter's time value. Every time the tunnel engine keeps is a reading of the
// monotonic clock; on the wire a time stamp is these two fields, little-endian.
#pragma once

#include <cstdint>
#include <ctime>

struct timespec64 {
  std::int64_t tv_sec = 0;
  std::int64_t tv_nsec = 0;
};
static_assert(sizeof(timespec64) == 16);

// Brings tv_nsec into 0..999999999, carrying whole seconds into tv_sec. Inline: the input
// path normalises every slice's time.
inline void timespec_normalize(timespec64 *t) {
  t->tv_sec += t->tv_nsec / 1000000000;
  t->tv_nsec %= 1000000000;
  if (t->tv_nsec < 0) {
    t->tv_nsec += 1000000000;
    t->tv_sec -= 1;
  }
}

// True when `a` lies strictly before `b` (seconds first, then nanoseconds).
inline bool timespec64_before(const timespec64 &a, const timespec64 &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

inline timespec64 timespec64_from(const timespec &ts) {
  return timespec64{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int64_t>(ts.tv_nsec)};
}

// 1 when more than `offset` milliseconds have passed from `ts` to `now`.
int tun_timeout(const timespec64 &now, const timespec64 *ts, std::uint64_t offset);
