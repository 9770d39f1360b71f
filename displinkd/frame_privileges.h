// Dropping root privileges to the daemon's own user and group of the same name.
#pragma once

// The two daemons word their messages differently (the SDI daemon ends each with a full stop).
enum class privilege_wording { hdmi, sdi };

// Looks up the user and group `name`, then setgid, initgroups, setuid. Each failing step logs
// its error and the closing "Failed setting uid and gid of the process" line; returns false
// then, true when the process now runs as `name`.
bool drop_privileges(const char *name, privilege_wording wording);
