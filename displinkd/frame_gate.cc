#include "frame_gate.h"

#include <settingstore.h>

#include <cstdlib>
#include <cstring>
#include <syslog.h>

bool root_password_is_set() {
  options opts;
  cli_resetOptions(&opts);
  int error = 0;
  char *value = cli_getCustomParam("root.System.RootPwdSet", &opts, &error);
  if (error != 0 || value == nullptr) {
    // Straight to syslog: this runs once a second while the device waits to be set up, and the
    // platform's own tools watch for it there.
    syslog(LOG_ERR, "Failed to get parameter 'root.System.RootPwdSet'.\n");
    std::free(value);
    return false;
  }
  const bool set = std::strcmp(value, "yes") == 0;
  std::free(value);
  return set;
}
