// Small text services of the library: name=value parameter strings and lists of MPEG-TS PIDs.
#pragma once

#include "nk_context.h"

// Finds `param` among the comma-separated name=value items of `params` (blanks before a name
// are skipped) and copies its value, up to the next comma, into buffer (at most blen-1
// characters and a terminating zero). Returns 1 when found, else 0 with buffer untouched.
int nk_param_str(const char *params, const char *param, char *buffer, int blen);

// The value as a base-0 number, or `def` when absent, empty or not a number followed by the
// end of the value or a blank.
int nk_param_num(const char *params, const char *param, int def);

// Marks every PID of a comma-separated list in an 8192-entry table. PIDs marked before a
// failure stay marked.
int nk_parse_pid_list(NKCx *c, const char *arg, unsigned char *pid_table);
