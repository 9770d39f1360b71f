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

// The sampled context and the weight its next spans take. A span left untimed is pushed as
// this marker (no real clock reading has a negative nanosecond field).
NKCx *sampled = nullptr;
std::uint32_t sampled_scale = 1;
constexpr long untimed_nsec = -1;

std::uint32_t scale_of(const NKCx *c) {
  return c == sampled ? sampled_scale : 1u;
}

timespec thread_cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts;
}
} // namespace

void nk_t_sample(NKCx *c, std::uint32_t scale) {
  sampled = c;
  sampled_scale = scale;
}

void nk_t_start(NKCx *c) {
  require(c->timing_stack_pos < 4);
  c->timing_stack[c->timing_stack_pos] = scale_of(c) != 0 ? thread_cpu_now() : timespec{0, untimed_nsec};
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

// The span of the popped entry in µs, weighted; 0 for an untimed one. A span that started in
// a timed pass and ends after the choice changed keeps the weight it started with only when
// the context is still timed; the loop changes the choice between passes, with the stack empty.
static std::uint32_t pop_span(NKCx *c) {
  const timespec then = pop(c);
  if (then.tv_nsec == untimed_nsec) {
    return 0;
  }
  const std::uint32_t scale = scale_of(c);
  return nk_t_span_us(then, thread_cpu_now()) * (scale != 0 ? scale : 1u);
}

void nk_t_end(NKCx *c, std::uint32_t *ms_memory) {
  *ms_memory += pop_span(c);
}

void nk_t_end(NKCx *c, std::uint64_t *ms_memory) {
  auto low = static_cast<std::uint32_t>(*ms_memory) + pop_span(c);
  *ms_memory = (*ms_memory & 0xFFFFFFFF00000000ull) | low;
}

std::int64_t nk_ms_delay(const timespec *earlier, const timespec *later) {
  auto sec = static_cast<std::int64_t>(later->tv_sec) - static_cast<std::int64_t>(earlier->tv_sec);
  auto nsec = static_cast<std::int64_t>(later->tv_nsec) - static_cast<std::int64_t>(earlier->tv_nsec);
  return sec * 1000 + nsec / 1000000;
}
