// appbootstrap's error domain and the one way its errors reach syslog.
#pragma once

#include <glib.h>

// Domain of the errors appbootstrap reports itself; its only code.
GQuark pi_error_quark();
enum pi_error_code { PI_ERROR_INTERNAL = 1 };
inline constexpr const char *pi_error_internal_message = "Internal error";

// Replaces whatever `error` holds (it may be unset) by the program's "Internal error".
void pi_error_set_internal(GError **error);

// Logs `msg` at LOG_ERR, followed by the error's message and code when `error` holds one.
void pi_error_syslog_print(const char *msg, GError **error);
