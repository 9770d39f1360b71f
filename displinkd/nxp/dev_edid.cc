// The sink's EDID as the application asks for it: read status, the video formats it accepts
// with their colour flags, its type and its HDMI physical address.
#include "dev_instance.h"

#include "edid.h"
#include "hdtx_reg.h"

#include <array>

namespace {

// The capability getters answer only once an EDID has been read for this set-up.
hdtx_err enter_edid_available(unsigned instance) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  if (dev_instance().state != HDTX_STATE_EDID_AVAILABLE) {
    dev_leave();
    return HDTX_ERR_WRONG_STATE;
  }
  return HDTX_OK;
}

hdtx_err video_caps(hdtx_video_cap *list, unsigned max, unsigned *count, std::uint8_t *flags) {
  std::array<hdtx_edid_dtd, HDTX_EDID_MAX_DTD> dtds{};
  std::array<std::uint8_t, HDTX_EDID_MAX_SVD> svds{};
  unsigned dtd_count = 0;
  unsigned svd_count = 0;
  hdtx_err err = hdtx_reg_edid_get_detailed_timing_descriptors(0, dtds.data(), HDTX_EDID_MAX_DTD, &dtd_count);
  if (err == HDTX_OK)
    err = hdtx_reg_edid_get_video_capabilities(0, svds.data(), HDTX_EDID_MAX_SVD, &svd_count, flags);
  if (err != HDTX_OK)
    return err;
  unsigned n = 0;
  auto push = [&](std::uint8_t code, bool native) {
    if (n < max)
      list[n++] = hdtx_video_cap{code, native};
  };
  // The preferred timing first, then the short descriptors, then the other timings.
  if (dtd_count > 0)
    push(edid_dtd_to_cea(dtds[0]), false);
  for (unsigned i = 0; i < svd_count && i < svds.size(); ++i)
    push(static_cast<std::uint8_t>(svds[i] & 0x7Fu), (svds[i] & 0x80u) != 0);
  for (unsigned i = 1; i < dtd_count && i < dtds.size(); ++i)
    push(edid_dtd_to_cea(dtds[i]), false);
  *count = n;
  return HDTX_OK;
}

} // namespace

hdtx_err hdtx_get_edid_status(unsigned instance, std::uint8_t *status, unsigned *blocks) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  err = status == nullptr || blocks == nullptr ? HDTX_ERR_NULL_ARGUMENT
                                               : hdtx_reg_edid_get_status(0, status, blocks);
  dev_leave();
  return err;
}

hdtx_err hdtx_get_edid_video_caps(unsigned instance, hdtx_video_cap *list, unsigned max, unsigned *count,
                                  std::uint8_t *flags) {
  hdtx_err err = enter_edid_available(instance);
  if (err != HDTX_OK)
    return err;
  if ((list == nullptr && max > 0) || count == nullptr || flags == nullptr)
    err = HDTX_ERR_NULL_ARGUMENT;
  else
    err = video_caps(list, max, count, flags);
  dev_leave();
  return err;
}

hdtx_err hdtx_get_edid_sink_type(unsigned instance, unsigned *sink_type) {
  hdtx_err err = enter_edid_available(instance);
  if (err != HDTX_OK)
    return err;
  err = sink_type == nullptr ? HDTX_ERR_NULL_ARGUMENT : hdtx_reg_edid_get_sink_type(0, sink_type);
  dev_leave();
  return err;
}

hdtx_err hdtx_get_edid_source_address(unsigned instance, std::uint16_t *address) {
  hdtx_err err = enter_edid_available(instance);
  if (err != HDTX_OK)
    return err;
  err = address == nullptr ? HDTX_ERR_NULL_ARGUMENT : hdtx_reg_edid_get_source_address(0, address);
  dev_leave();
  return err;
}

hdtx_err hdtx_convert_dtd_to_cea(unsigned instance, const hdtx_edid_dtd *dtd, std::uint8_t *code) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  if (dtd == nullptr || code == nullptr)
    err = HDTX_ERR_NULL_ARGUMENT;
  else
    *code = edid_dtd_to_cea(*dtd);
  dev_leave();
  return err;
}
