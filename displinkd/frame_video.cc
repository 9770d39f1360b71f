#include "frame_video.h"

#include "log.h"

#include <gio/gio.h>

#include <cstring>

namespace {

constexpr const char *service_name = "com.vexo.VideoControl";
constexpr const char *object_path = "/com/vexo/VideoControl/1";
constexpr const char *property_name = "VideoStarted";

struct watch_state {
  video_wording wording = video_wording::hdmi;
  video_started_func on_started = nullptr;
  guint watcher_id = 0;
  GDBusProxy *dbus_property_proxy = nullptr;
  GDBusProxy *dbus_proxy = nullptr;
  // The output is brought up once per process: a service that restarts (and so appears again)
  // must not start it a second time.
  bool started = false;
};

watch_state state;

bool hdmi() { return state.wording == video_wording::hdmi; }

void release_proxies() {
  g_clear_object(&state.dbus_property_proxy);
  g_clear_object(&state.dbus_proxy);
}

void start_once() {
  if (state.started)
    return;
  state.started = true;
  state.on_started();
}

void log_property_proxy_error(const GError *error) {
  if (hdmi()) {
    DL_ERROR("%sError creating dbus property proxy: %s", error->message);
    DL_ERROR("%sError getting VideoStarted property: %s", error->message);
  } else {
    DL_ERROR("%s%s\nError creating dbus property proxy", error->message);
    DL_ERROR("%s%s\nError getting VideoStarted property", error->message);
  }
}

void log_get_error(const GError *error) {
  if (hdmi())
    DL_ERROR("%sError getting VideoStarted property: %s", error->message);
  else
    DL_ERROR("%s%s\nError getting VideoStarted property", error->message);
}

void log_proxy_error(const GError *error) {
  if (hdmi())
    DL_ERROR("%sError creating dbus proxy: %s", error->message);
  else
    DL_ERROR("%s%s\nError creating dbus proxy", error->message);
}

void video_properties_changed_cb(GDBusProxy *proxy, GVariant *changed, const gchar *const * /*invalidated*/,
                                 gpointer data) {
  if (changed == nullptr || g_variant_n_children(changed) == 0)
    return;
  GVariantIter iter;
  g_variant_iter_init(&iter, changed);
  const gchar *key = nullptr;
  GVariant *value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    const bool now_started = std::strcmp(key, property_name) == 0 &&
                             g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
    g_variant_unref(value);
    if (now_started) {
      DL_DEBUG("%sSIGNAL %s", property_name);
      start_once();
      // Later changes, to false included, are not followed: the output stays up.
      g_signal_handlers_disconnect_by_data(proxy, data);
      return;
    }
  }
}

// The property's value, or null after logging why there is none.
GVariant *read_video_started(GDBusConnection *connection) {
  GError *error = nullptr;
  g_clear_object(&state.dbus_property_proxy);
  state.dbus_property_proxy = g_dbus_proxy_new_sync(connection, G_DBUS_PROXY_FLAGS_NONE, nullptr, service_name,
                                                    object_path, "org.freedesktop.DBus.Properties", nullptr, &error);
  if (state.dbus_property_proxy == nullptr) {
    log_property_proxy_error(error);
    g_error_free(error);
    return nullptr;
  }
  GVariant *reply = g_dbus_proxy_call_sync(state.dbus_property_proxy, "Get",
                                           g_variant_new("(ss)", service_name, property_name),
                                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (reply == nullptr) {
    log_get_error(error);
    g_error_free(error);
    return nullptr;
  }
  GVariant *boxed = g_variant_get_child_value(reply, 0);
  GVariant *value = g_variant_is_of_type(boxed, G_VARIANT_TYPE_VARIANT) ? g_variant_get_variant(boxed)
                                                                         : g_variant_ref(boxed);
  g_variant_unref(boxed);
  g_variant_unref(reply);
  return value;
}

void bus_name_appeared_cb(GDBusConnection *connection, const gchar *name, const gchar *owner, gpointer /*data*/) {
  if (hdmi())
    DL_DEBUG("%sName %s is owned by %s", name, owner);
  if (state.started)
    return;

  GVariant *value = read_video_started(connection);
  if (value == nullptr)
    return;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
    const bool started = g_variant_get_boolean(value);
    g_variant_unref(value);
    if (hdmi())
      DL_DEBUG("%sVideoStarted = %s", started ? "TRUE" : "FALSE");
    if (started) {
      start_once();
      return;
    }
  } else {
    g_variant_unref(value);
    if (hdmi())
      g_log(nullptr, G_LOG_LEVEL_WARNING, "Did not get the expected signal\n");
    else
      DL_WARNING("%sDid not get the expected signal");
  }

  GError *error = nullptr;
  g_clear_object(&state.dbus_proxy);
  state.dbus_proxy = g_dbus_proxy_new_sync(connection, G_DBUS_PROXY_FLAGS_NONE, nullptr, service_name, object_path,
                                           service_name, nullptr, &error);
  if (state.dbus_proxy == nullptr) {
    log_proxy_error(error);
    g_error_free(error);
    return;
  }
  g_signal_connect(state.dbus_proxy, "g-properties-changed", G_CALLBACK(video_properties_changed_cb), &state);
}

} // namespace

void watch_video_control(video_wording wording, video_started_func on_started) {
  state.wording = wording;
  state.on_started = on_started;
  state.watcher_id = g_bus_watch_name(G_BUS_TYPE_SYSTEM, service_name, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                      bus_name_appeared_cb, nullptr, nullptr, nullptr);
}

void video_watch_release() {
  release_proxies();
  if (state.watcher_id != 0) {
    g_bus_unwatch_name(state.watcher_id);
    state.watcher_id = 0;
  }
}
