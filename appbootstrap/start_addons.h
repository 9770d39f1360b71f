// The one pass of appbootstrap: every add-on named in the autostart list, in file order, is
// handed to the platform's add-on manager to be started.
#pragma once

#include <glib.h>

// One add-on name per line; only the line feed is removed, blank lines are names too.
inline constexpr const char *addon_autostart_list = "/etc/addon/conf/addonautostart";
inline constexpr const char *addon_manager_bus_name = "com.vexo.AddonManager";
inline constexpr const char *addon_manager_object_path = "/com/vexo/AddonManager";

// True when the list was read to its end, whatever the manager answered for each add-on.
// False without an error when the list cannot be read; false with "Internal error" when the
// manager cannot be reached or a start call fails on the bus (the rest of the list is then
// not attempted).
gboolean start_addons(GError **error);
