// The set-up gate of the output daemons: nothing touches the hardware until the device's root
// password has been set.
#pragma once

// True only when the device parameter "root.System.RootPwdSet" reads exactly "yes"; a failed
// read is logged to syslog and counts as false.
bool root_password_is_set();
