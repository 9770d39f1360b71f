// Processor-time accounting of the main loop's stages: a four-deep stack of start times on the
// calling thread's CPU clock, popped into caller-owned microsecond accumulators that wrap
// modulo 2^32.
#pragma once

#include <cstdint>
#include <ctime>

#include "nk_context.h"

void nk_t_start(NKCx *c);
void nk_t_end(NKCx *c, std::uint32_t *ms_memory);
// The statistics keep their timings in 64-bit fields; only the low 32 bits accumulate (and
// wrap), the upper half stays as it is.
void nk_t_end(NKCx *c, std::uint64_t *ms_memory);

// Microseconds between two readings in 32-bit unsigned arithmetic, as nk_t_end adds them.
std::uint32_t nk_t_span_us(const timespec &then, const timespec &now);

// Milliseconds from `earlier` to `later`, negative when `later` is in fact earlier.
std::int64_t nk_ms_delay(const timespec *earlier, const timespec *later);
