// Reading one device parameter from the store's key file.
#include "settingstore.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr const char *store_path = "/etc/settingstore.conf";
constexpr const char *store_group = "Parameters";
constexpr int default_timeout_ms = 5000;

struct key_file_free {
  void operator()(GKeyFile *file) const { g_key_file_free(file); }
};
struct error_free {
  void operator()(GError *err) const { g_error_free(err); }
};
struct gchar_free {
  void operator()(gchar *text) const { g_free(text); }
};

char *fail(int *error, int code) {
  if (error != nullptr)
    *error = code;
  return nullptr;
}

int lookup_error_code(const GError *err) {
  if (err->domain == G_KEY_FILE_ERROR &&
      (err->code == G_KEY_FILE_ERROR_GROUP_NOT_FOUND || err->code == G_KEY_FILE_ERROR_KEY_NOT_FOUND))
    return CLI_ERR_NOT_FOUND;
  return CLI_ERR_MALFORMED;
}

} // namespace

void cli_resetOptions(options *opts) {
  if (opts == nullptr)
    return;
  opts->timeout_ms = default_timeout_ms;
  opts->flags = 0;
}

char *cli_getCustomParam(const char *name, options * /*opts: nothing here waits or caches*/, int *error) {
  if (error != nullptr)
    *error = CLI_ERR_NONE;
  if (name == nullptr || *name == '\0')
    return fail(error, CLI_ERR_INVALID);

  // Reading and parsing apart, so that a store that can't be read (missing, a directory, no
  // permission) is told from one that reads but is no key file.
  GError *raw = nullptr;
  gchar *raw_text = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(store_path, &raw_text, &length, &raw)) {
    const std::unique_ptr<GError, error_free> err(raw);
    return fail(error, CLI_ERR_NO_STORE);
  }
  const std::unique_ptr<gchar, gchar_free> text(raw_text);
  std::unique_ptr<GKeyFile, key_file_free> file(g_key_file_new());
  if (!g_key_file_load_from_data(file.get(), text.get(), length, G_KEY_FILE_NONE, &raw)) {
    const std::unique_ptr<GError, error_free> err(raw);
    return fail(error, CLI_ERR_MALFORMED);
  }

  const std::unique_ptr<gchar, gchar_free> value(g_key_file_get_string(file.get(), store_group, name, &raw));
  if (!value) {
    const std::unique_ptr<GError, error_free> err(raw);
    return fail(error, err ? lookup_error_code(err.get()) : CLI_ERR_MALFORMED);
  }

  // The caller frees with free(): hand over memory of the C library's own allocator.
  char *copy = strdup(value.get());
  if (copy == nullptr)
    return fail(error, CLI_ERR_NO_MEMORY);
  return copy;
}
