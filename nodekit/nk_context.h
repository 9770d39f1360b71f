// The support context shared by every module of the transmitter: where log lines go, the
// last-error text that fallible library calls leave for their caller, the timing stack, and
// the fatal stop. One context per process; the library takes no locks.
#pragma once

#include <cstdarg>
#include <ctime>
#include <syslog.h>

#define NK_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

struct NKCx {
  void *black_box = nullptr;          // the owner; never read by the library
  char error_buf[1024] = {};          // last text recorded by nk_error
  const char *syslog_prefix = nullptr; // null: log to standard error; not owned
  timespec timing_stack[4] = {};      // start times of nested nk_t_start calls
  int timing_stack_pos = 0;
};

// Longest message text that reaches the log, and longest last-error text.
inline constexpr int nk_log_max_chars = 254;
inline constexpr int nk_error_max_chars = 1022;

const char *nk_version();

// A stand-alone, zero-filled context; the process aborts when memory is exhausted.
NKCx *nk_init(void *black_box);

// Null sends later messages to standard error again; anything else opens syslog under that
// identity (LOG_PID, LOG_USER). The caller keeps the text alive.
void nk_openlog(NKCx *nk, const char *syslog_prefix);

void nk_vlog(NKCx *c, int prio, const char *fmt, va_list ap) NK_PRINTF(3, 0);
void nk_log(NKCx *c, int prio, const char *fmt, ...) NK_PRINTF(3, 4);

void nk_error(NKCx *c, const char *fmt, ...) NK_PRINTF(2, 3);
const char *nk_last_error(NKCx *c);

// Logs fmt (or, when fmt is null, the last error) at LOG_ERR and ends the process with status
// 255 at once: no exit handlers, no flushing of buffered standard output.
[[noreturn]] void nk_die(NKCx *c, const char *fmt, ...) NK_PRINTF(2, 3);

// Formats a standard-error log line ("YYYY-MM-DD HH:MM:SS text\n") for the given wall-clock
// time; returns false when local time cannot be computed. Exposed for tests.
bool nk_format_stderr_line(char *out, std::size_t out_size, std::time_t when, const char *text);
