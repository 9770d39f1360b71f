#include "start_addons.h"

#include "pi_error.h"

#include <pkgherd/addon-manager.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <syslog.h>
#include <sys/types.h>

namespace {

struct file_closer {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
struct object_unref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
// The buffer getline grows as it goes.
struct line_buffer {
  char *data = nullptr;
  std::size_t capacity = 0;
  line_buffer() = default;
  line_buffer(const line_buffer &) = delete;
  line_buffer &operator=(const line_buffer &) = delete;
  ~line_buffer() { std::free(data); }
};

} // namespace

gboolean start_addons(GError **error) {
  std::unique_ptr<std::FILE, file_closer> list(std::fopen(addon_autostart_list, "r"));
  if (!list)
    return FALSE;

  std::unique_ptr<AddonManager, object_unref> manager(addon_manager_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM, G_DBUS_PROXY_FLAGS_NONE, addon_manager_bus_name, addon_manager_object_path,
      nullptr, error));
  if (!manager) {
    pi_error_syslog_print("Failed to create an Add-on manager D-Bus proxy", error);
    pi_error_set_internal(error);
    return FALSE;
  }

  line_buffer line;
  ssize_t len;
  while ((len = getline(&line.data, &line.capacity, list.get())) >= 0) {
    char *name = line.data;
    if (len > 0 && name[len - 1] == '\n')
      name[--len] = '\0';
    syslog(LOG_INFO, "Starting addon %s", name);

    // A D-Bus string must be UTF-8 without NUL; anything else would never reach the manager.
    if (!g_utf8_validate(name, len, nullptr)) {
      syslog(LOG_ERR, "Add-on name is not valid UTF-8, not started");
      continue;
    }

    gint code = 0;
    gchar *message_raw = nullptr;
    gboolean called =
        addon_manager_call_start_sync(manager.get(), name, &code, &message_raw, nullptr, error);
    std::unique_ptr<gchar, decltype(&g_free)> message(message_raw, g_free);
    if (!called) {
      pi_error_syslog_print("Add-on manager D-Bus start method failed", error);
      pi_error_set_internal(error);
      return FALSE;
    }
    if (code != 0)
      syslog(LOG_ERR, "Add-on manager D-Bus start method returned error: %s(%d)", message.get(), code);
    else
      syslog(LOG_INFO, "Started addon %s", name);
  }

  // A list that breaks off with a read error was not processed to its end.
  return std::ferror(list.get()) ? FALSE : TRUE;
}
