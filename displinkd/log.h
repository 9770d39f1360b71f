// Logging of the output daemons: GLib messages without a log domain, each format starting with
// "%s" that is filled with an empty prefix. Errors use the first user level (256) so that they
// never abort the process as G_LOG_LEVEL_ERROR would. "Debug" messages are info messages that
// appear only while the debug flag is set.
#pragma once

#include <glib.h>

// Kept as a number: 256 lies outside the range of GLogLevelFlags' enumerators, so it is
// converted only where it is handed to GLib.
inline constexpr unsigned DL_LEVEL_ERROR_VALUE = 1u << G_LOG_LEVEL_USER_SHIFT;
#define DL_LEVEL_ERROR (static_cast<GLogLevelFlags>(DL_LEVEL_ERROR_VALUE))

void set_debug();
bool get_debug();
// Turns the debug flag off again; tests only.
void clear_debug();

#define DL_ERROR(fmt, ...) g_log(nullptr, DL_LEVEL_ERROR, fmt, "" __VA_OPT__(, ) __VA_ARGS__)
#define DL_WARNING(fmt, ...) g_log(nullptr, G_LOG_LEVEL_WARNING, fmt, "" __VA_OPT__(, ) __VA_ARGS__)
#define DL_INFO(fmt, ...) g_log(nullptr, G_LOG_LEVEL_INFO, fmt, "" __VA_OPT__(, ) __VA_ARGS__)
#define DL_DEBUG(fmt, ...)                                                                                   \
  do {                                                                                                       \
    if (get_debug())                                                                                         \
      g_log(nullptr, G_LOG_LEVEL_INFO, fmt, "" __VA_OPT__(, ) __VA_ARGS__);                                  \
  } while (0)
