// Processor-time accounting of the main loop's stages: a four-deep stack of start times on the
// calling thread's CPU clock, popped into caller-owned microsecond accumulators that wrap
// modulo 2^32. The thread CPU clock is a real system call, dearer than most of what it would
// time, so a context may be sampled: only chosen passes read the clock, and their spans count
// for the passes left out.
#pragma once

#include <cstdint>
#include <ctime>

#include "nk_context.h"

void nk_t_start(NKCx *c);

// From now on, spans started on `c` count `scale` times (standing for the passes not timed);
// 0 leaves them untimed: the stack is kept, no clock is read and nothing is added. Spans
// already started keep the choice they started with. Every context is timed at scale 1 until
// this is called for it; one context at a time can be sampled.
void nk_t_sample(NKCx *c, std::uint32_t scale);
void nk_t_end(NKCx *c, std::uint32_t *ms_memory);
// The statistics keep their timings in 64-bit fields; only the low 32 bits accumulate (and
// wrap), the upper half stays as it is.
void nk_t_end(NKCx *c, std::uint64_t *ms_memory);

// Microseconds between two readings in 32-bit unsigned arithmetic, as nk_t_end adds them.
std::uint32_t nk_t_span_us(const timespec &then, const timespec &now);

// Milliseconds from `earlier` to `later`, negative when `later` is in fact earlier.
std::int64_t nk_ms_delay(const timespec *earlier, const timespec *later);
