// Logging of the output daemons: GLib messages without a log domain, each format starting with
// "%s" that is filled with an empty prefix. Errors use the first user level (256) so that they
// never abort the process as G_LOG_LEVEL_ERROR would. "Debug" messages are info messages that
// appear only while the debug flag is set.
#pragma once

#include <glib.h>

// The error level as a number: 256 lies outside the range of GLogLevelFlags' enumerators, so
// C++ may not hold it in that type; messages at this level go through dl_log_error, written in
// C, where the enum is a plain int.
inline constexpr unsigned DL_LEVEL_ERROR_VALUE = 1u << G_LOG_LEVEL_USER_SHIFT;
extern "C" void dl_log_error(const char *format, ...) G_GNUC_PRINTF(1, 2);

void set_debug();
bool get_debug();
// Turns the debug flag off again; tests only.
void clear_debug();

#define DL_ERROR(fmt, ...) dl_log_error(fmt, "" __VA_OPT__(, ) __VA_ARGS__)
#define DL_WARNING(fmt, ...) g_log(nullptr, G_LOG_LEVEL_WARNING, fmt, "" __VA_OPT__(, ) __VA_ARGS__)
#define DL_INFO(fmt, ...) g_log(nullptr, G_LOG_LEVEL_INFO, fmt, "" __VA_OPT__(, ) __VA_ARGS__)
#define DL_DEBUG(fmt, ...)                                                                                   \
  do {                                                                                                       \
    if (get_debug())                                                                                         \
      g_log(nullptr, G_LOG_LEVEL_INFO, fmt, "" __VA_OPT__(, ) __VA_ARGS__);                                  \
  } while (0)
