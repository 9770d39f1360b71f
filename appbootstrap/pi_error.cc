#include "pi_error.h"

#include <syslog.h>

GQuark pi_error_quark() {
  static GQuark quark = 0;
  if (!quark)
    quark = g_quark_from_static_string("Add-on pre installer manager");
  return quark;
}

void pi_error_set_internal(GError **error) {
  g_clear_error(error);
  g_set_error_literal(error, pi_error_quark(), PI_ERROR_INTERNAL, pi_error_internal_message);
}

void pi_error_syslog_print(const char *msg, GError **error) {
  if (error && *error)
    syslog(LOG_ERR, "%s: %s(%d)", msg, (*error)->message, (*error)->code);
  else
    syslog(LOG_ERR, "%s", msg);
}
