// appbootstrap: runs once at start-up and asks the add-on manager to start every add-on of the
// autostart list. Reports through syslog and its exit status.
#include "pi_error.h"
#include "start_addons.h"

#include <syslog.h>

int main() {
  GError *error = nullptr;
  if (start_addons(&error))
    return 0;
  if (error) {
    syslog(LOG_ERR, "%s Error occured: msg: %s code: %d", "appbootstrap", error->message, error->code);
    g_clear_error(&error);
  }
  return 1;
}
