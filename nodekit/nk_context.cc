#include "nk_context.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {
constexpr const char version_text[] = "17.0.4 build 64a15723";
}

const char *nk_version() { return version_text; }

NKCx *nk_init(void *black_box) {
  auto *c = new (std::nothrow) NKCx{};
  if (c == nullptr) {
    std::abort();
  }
  c->black_box = black_box;
  return c;
}

void nk_openlog(NKCx *nk, const char *syslog_prefix) {
  nk->syslog_prefix = syslog_prefix;
  if (syslog_prefix != nullptr) {
    openlog(syslog_prefix, LOG_PID, LOG_USER);
  }
}

bool nk_format_stderr_line(char *out, std::size_t out_size, std::time_t when, const char *text) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    return false;
  }
  char stamp[31];
  if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return false;
  }
  std::snprintf(out, out_size, "%s %s\n", stamp, text);
  return true;
}

void nk_vlog(NKCx *c, int prio, const char *fmt, va_list ap) {
  char msg[nk_log_max_chars + 2];
  std::vsnprintf(msg, nk_log_max_chars + 1, fmt, ap);
  if (char *nl = std::strchr(msg, '\n')) {
    *nl = '\0';
  }
  if (c->syslog_prefix != nullptr) {
    syslog(prio, "%s", msg);
    return;
  }
  char line[sizeof msg + 40];
  if (!nk_format_stderr_line(line, sizeof line, std::time(nullptr), msg)) {
    return;
  }
  // One write per line keeps lines from several threads whole.
  std::size_t len = std::strlen(line);
  const char *p = line;
  while (len > 0) {
    ssize_t n = write(STDERR_FILENO, p, len);
    if (n <= 0) {
      break;
    }
    p += n;
    len -= static_cast<std::size_t>(n);
  }
}

void nk_log(NKCx *c, int prio, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  nk_vlog(c, prio, fmt, ap);
  va_end(ap);
}

void nk_error(NKCx *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(c->error_buf, nk_error_max_chars + 1, fmt, ap);
  va_end(ap);
}

const char *nk_last_error(NKCx *c) { return c->error_buf; }

void nk_die(NKCx *c, const char *fmt, ...) {
  if (fmt != nullptr) {
    va_list ap;
    va_start(ap, fmt);
    nk_vlog(c, LOG_ERR, fmt, ap);
    va_end(ap);
  } else {
    nk_log(c, LOG_ERR, "%s\n", c->error_buf);
  }
  _exit(255);
}
