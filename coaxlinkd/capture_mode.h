// Client of the platform's capture-mode service "com.vexo.CaptureMode1" on the system bus: the
// capture mode (such as "1080p50") of the last channel the service lists, read once at start-up.
// The module owns that text.
#pragma once

#include <glib.h>
#include <optional>
#include <string>

enum capt_settings_result : int {
  CAPT_SETTINGS_OK = 0,
  CAPT_SETTINGS_NO_CHANNEL = 1, // the service lists no channel
  CAPT_SETTINGS_NO_PROXY = 2,   // a proxy could not be made
  CAPT_SETTINGS_CALL_FAILED = 4,
};

// Asks the service for its channels, then the last channel for its capture modes, and keeps the
// one marked current. Logs every failure. A channel without a current mode is no failure: the
// capture mode then stays unknown.
int coaxlinkd_config_get_capt_settings();
// The capture mode read last, or null.
const char *coaxlinkd_config_get_capture_mode();

// The "res_set_name" text of the first dictionary of `modes` (type "aa{sv}") whose "current"
// entry is boolean true. Entries of other types count as absent. Logs when the list is empty.
std::optional<std::string> unpack_capture_mode_property(GVariant *modes);
