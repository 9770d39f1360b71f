/* Messages at the first user level of GLib (256), which the daemons use for errors. */
#include <glib.h>

void dl_log_error(const char *format, ...) G_GNUC_PRINTF(1, 2);

void dl_log_error(const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_logv(NULL, (GLogLevelFlags)(1 << G_LOG_LEVEL_USER_SHIFT), format, args);
  va_end(args);
}
