#include "stop.h"

#include <cstdarg>
#include <cstdlib>

#include "nodekit.h"
#include "tesseltx.h"

namespace {

void record(tesseltx *t, int status, const char *fmt, va_list ap) NK_PRINTF(3, 0);
void record(tesseltx *t, int status, const char *fmt, va_list ap) {
  nk_vlog(&t->nk, LOG_ERR, fmt, ap);
  if (!t->stopping) {
    t->stopping = true;
    t->exit_status = status;
  }
}

} // namespace

void tx_stop(tesseltx *t, int status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  record(t, status, fmt, ap);
  va_end(ap);
}

void tx_exit(tesseltx *t) {
  std::exit(t->exit_status);
}

void tx_die(tesseltx *t, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  record(t, 255, fmt, ap);
  va_end(ap);
  tx_exit(t);
}
