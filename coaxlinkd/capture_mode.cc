#include "capture_mode.h"

#include "log.h"

#include <gio/gio.h>
#include <memory>

namespace {

constexpr char SERVICE_NAME[] = "com.vexo.CaptureMode1";
constexpr char SERVICE_PATH[] = "/com/vexo/CaptureMode1";
constexpr char SERVICE_IFACE[] = "com.vexo.CaptureMode1";
constexpr char CHANNEL_IFACE[] = "com.vexo.CaptureMode1.Channel";
constexpr char FUNC_GET[] = "coaxlinkd_config_get_capt_settings";
constexpr char FUNC_UNPACK[] = "unpack_capture_mode_property";
constexpr char FUNC_PROXY[] = "set_proxy";

std::optional<std::string> capture_mode;

struct object_unref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
using proxy_ptr = std::unique_ptr<GDBusProxy, object_unref>;
struct variant_unref {
  void operator()(GVariant *v) const { g_variant_unref(v); }
};
using variant_ptr = std::unique_ptr<GVariant, variant_unref>;
struct error_free {
  void operator()(GError *e) const { g_error_free(e); }
};
using error_ptr = std::unique_ptr<GError, error_free>;

proxy_ptr set_proxy(const char *path, const char *iface) {
  GError *raw = nullptr;
  // Properties and signals of the service are never used; loading them would only cost a call.
  proxy_ptr proxy(
      g_dbus_proxy_new_for_bus_sync(G_BUS_TYPE_SYSTEM,
                                    static_cast<GDBusProxyFlags>(G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES |
                                                                 G_DBUS_PROXY_FLAGS_DO_NOT_CONNECT_SIGNALS),
                                    nullptr, SERVICE_NAME, path, iface, nullptr, &raw));
  error_ptr err(raw);
  if (err) {
    dl_log_error("coaxlinkd_config:74 [%s] Could not connect to proxy: %s\n", FUNC_PROXY, err->message);
    return nullptr;
  }
  if (!proxy) {
    dl_log_error("coaxlinkd_config:80 [%s] No proxy for %s", FUNC_PROXY, path);
    return nullptr;
  }
  if (get_debug()) {
    g_log(nullptr, G_LOG_LEVEL_INFO, "coaxlinkd_config:84 [%s] Proxy set", FUNC_PROXY);
  }
  return proxy;
}

// A reply of another type than `reply_type` counts as a failed call, so that nothing downstream
// walks data of a shape nobody checked.
variant_ptr call(GDBusProxy *proxy, const char *method, const char *reply_type, error_ptr &err) {
  GError *raw = nullptr;
  variant_ptr reply(
      g_dbus_proxy_call_sync(proxy, method, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &raw));
  if (raw == nullptr && reply && !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE(reply_type))) {
    raw =
        g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_INVALID_SIGNATURE, "Method '%s' returned type '%s', not '%s'",
                    method, g_variant_get_type_string(reply.get()), reply_type);
    reply.reset();
  }
  err.reset(raw);
  return reply;
}

} // namespace

std::optional<std::string> unpack_capture_mode_property(GVariant *modes) {
  if (modes == nullptr || !g_variant_is_of_type(modes, G_VARIANT_TYPE("aa{sv}")) ||
      g_variant_n_children(modes) == 0) {
    dl_log_error("coaxlinkd_config:154 [%s] Did not get Capture mode data", FUNC_UNPACK);
    return std::nullopt;
  }
  const gsize n = g_variant_n_children(modes);
  for (gsize i = 0; i < n; ++i) {
    variant_ptr dict(g_variant_get_child_value(modes, i));
    gboolean current = FALSE;
    if (!g_variant_lookup(dict.get(), "current", "b", &current) || !current) {
      continue;
    }
    const gchar *name = nullptr;
    if (g_variant_lookup(dict.get(), "res_set_name", "&s", &name)) {
      return std::string(name);
    }
  }
  return std::nullopt;
}

int coaxlinkd_config_get_capt_settings() {
  proxy_ptr proxy = set_proxy(SERVICE_PATH, SERVICE_IFACE);
  if (!proxy) {
    return CAPT_SETTINGS_NO_PROXY;
  }
  error_ptr err;
  variant_ptr reply = call(proxy.get(), "GetChannelObjects", "(ao)", err);
  proxy.reset();
  if (err) {
    dl_log_error("coaxlinkd_config:280 [%s] Failed to get capture mode channel settings. %s", FUNC_GET,
                 err->message);
    return CAPT_SETTINGS_CALL_FAILED;
  }
  if (!reply) {
    dl_log_error("coaxlinkd_config:304 [%s] Failed to get capture mode channel settings.", FUNC_GET);
    return CAPT_SETTINGS_CALL_FAILED;
  }
  variant_ptr paths(g_variant_get_child_value(reply.get(), 0));
  const gsize count = g_variant_n_children(paths.get());
  if (count == 0) {
    dl_log_error("coaxlinkd_config:298 [%s] Could not get capture mode configuration", FUNC_GET);
    return CAPT_SETTINGS_NO_CHANNEL;
  }
  gchar *raw_path = nullptr;
  g_variant_get_child(paths.get(), count - 1, "o", &raw_path);
  std::unique_ptr<gchar, decltype(&g_free)> path(raw_path, &g_free);
  paths.reset();
  reply.reset();

  proxy = set_proxy(path.get(), CHANNEL_IFACE);
  if (!proxy) {
    return CAPT_SETTINGS_NO_PROXY;
  }
  reply = call(proxy.get(), "GetCaptureModes", "(aa{sv})", err);
  if (err) {
    dl_log_error("coaxlinkd_config:317 [%s] Failed to get capture mode configuration. %s", FUNC_GET,
                 err->message);
    return CAPT_SETTINGS_CALL_FAILED;
  }
  if (!reply) {
    dl_log_error("coaxlinkd_config:317 [%s] Failed to get capture mode configuration. %s", FUNC_GET,
                 "No reply");
    return CAPT_SETTINGS_CALL_FAILED;
  }
  variant_ptr modes(g_variant_get_child_value(reply.get(), 0));
  capture_mode = unpack_capture_mode_property(modes.get());
  return CAPT_SETTINGS_OK;
}

const char *coaxlinkd_config_get_capture_mode() {
  return capture_mode ? capture_mode->c_str() : nullptr;
}
