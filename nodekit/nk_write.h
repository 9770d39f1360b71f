// Complete writes with the library's error policy: standard output is vital (a failure ends the
// process), any other descriptor is closed and marked -1 so the caller sees a dead output.
#pragma once

#include <cstdint>

#include "nk_context.h"

int nk_write(NKCx *c, int *fd, const void *b, int s, std::uint64_t *ms_write);
