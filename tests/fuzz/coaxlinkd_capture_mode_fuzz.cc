// The capture mode as the capture-mode service hands it over: the GetCaptureModes list (serialised
// "aa{sv}", as untrusted bytes) and the mode text that the serialiser's identifier is made from.
// The first byte picks which of the two the rest of the input feeds.
#include "coaxlinkd/capture_mode.h"
#include "coaxlinkd/fpga.h"

#include <cstdint>
#include <glib.h>
#include <string_view>

namespace {

void quiet(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

void check_payload(std::string_view text) {
  sdi_payload p = sdi_payload_identifier(text);
  if (p.status != capture_mode_status::ok) {
    if (p.value != 0) {
      __builtin_trap();
    }
    return;
  }
  const std::uint32_t byte1 = p.value & 0xFFu;
  if ((byte1 != 0x89 && byte1 != 0x84) || p.value > 0xFFFFFFu) {
    __builtin_trap();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool installed = (g_log_set_default_handler(quiet, nullptr), true);
  (void)installed;
  if (size == 0) {
    return 0;
  }
  const std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    check_payload(rest);
    return 0;
  }
  GBytes *bytes = g_bytes_new(rest.data(), rest.size());
  GVariant *modes = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE("aa{sv}"), bytes, FALSE));
  g_bytes_unref(bytes);
  std::optional<std::string> mode = unpack_capture_mode_property(modes);
  g_variant_unref(modes);
  if (mode) {
    check_payload(*mode);
  }
  return 0;
}
