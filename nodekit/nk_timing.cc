#include "nk_timing.h"

#include <cassert>
#include <cstdlib>

namespace {
// The stack is a programming contract, not input validation: misuse aborts in every build.
void require(bool ok) {
  if (!ok) {
    std::abort();
  }
}

timespec thread_cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts;
}
} // namespace

void nk_t_start(NKCx *c) {
  require(c->timing_stack_pos < 4);
  c->timing_stack[c->timing_stack_pos] = thread_cpu_now();
  c->timing_stack_pos++;
}

std::uint32_t nk_t_span_us(const timespec &then, const timespec &now) {
  auto sec = static_cast<std::uint32_t>(now.tv_sec - then.tv_sec);
  // Truncating toward zero, as a signed division would: a negative nanosecond difference
  // takes away whole microseconds only.
  auto nsec_diff = static_cast<std::int64_t>(now.tv_nsec) - static_cast<std::int64_t>(then.tv_nsec);
  auto usec = static_cast<std::uint32_t>(static_cast<std::int32_t>(nsec_diff / 1000));
  return sec * 1000000u + usec;
}

static timespec pop(NKCx *c) {
  require(c->timing_stack_pos > 0);
  c->timing_stack_pos--;
  return c->timing_stack[c->timing_stack_pos];
}

void nk_t_end(NKCx *c, std::uint32_t *ms_memory) {
  timespec then = pop(c);
  *ms_memory += nk_t_span_us(then, thread_cpu_now());
}

void nk_t_end(NKCx *c, std::uint64_t *ms_memory) {
  timespec then = pop(c);
  auto low = static_cast<std::uint32_t>(*ms_memory) + nk_t_span_us(then, thread_cpu_now());
  *ms_memory = (*ms_memory & 0xFFFFFFFF00000000ull) | low;
}

std::int64_t nk_ms_delay(const timespec *earlier, const timespec *later) {
  auto sec = static_cast<std::int64_t>(later->tv_sec) - static_cast<std::int64_t>(earlier->tv_sec);
  auto nsec = static_cast<std::int64_t>(later->tv_nsec) - static_cast<std::int64_t>(earlier->tv_nsec);
  return sec * 1000 + nsec / 1000000;
}
