#include "tun_time.h"

int tun_timeout(const timespec64 &now, const timespec64 *ts, std::uint64_t offset) {
  timespec64 deadline{ts->tv_sec + static_cast<std::int64_t>(offset / 1000),
                      ts->tv_nsec + static_cast<std::int64_t>(offset % 1000) * 1000000};
  timespec_normalize(&deadline);
  return timespec64_before(deadline, now) ? 1 : 0;
}
