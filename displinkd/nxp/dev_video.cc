// Video output set-up: the register-layer families in the order the chip needs them (output
// side first, then the input ports, timing, formats with their colour conversion and syncs),
// the AVI infoframe that tells the sink what it gets, and the test pattern.
#include "dev_instance.h"

#include "hdtx_reg.h"
#include "hdtx_reg_packets.h"

namespace {

// The input colour space each input mode carries.
unsigned input_colour_space(unsigned mode) {
  switch (mode) {
  case HDTX_VIN_CCIR656:
  case HDTX_VIN_YUV422:
    return HDTX_CS_YUV422;
  case HDTX_VIN_YUV444:
    return HDTX_CS_YUV444;
  default:
    return HDTX_CS_RGB444;
  }
}

std::uint8_t avi_pixel_repetition(unsigned code) {
  switch (code) {
  case 6:
  case 7:
  case 8:
  case 9:
  case 14:
  case 15:
  case 21:
  case 22:
  case 23:
  case 24:
  case 29:
  case 30:
    return 1;
  case 10:
  case 11:
  case 25:
  case 26:
  case 35:
  case 36:
  case 37:
  case 38:
    return 3;
  default:
    return 0;
  }
}

hdtx_pkt_avi avi_infoframe(const hdtx_video_format_specs &format, unsigned colour_space,
                           bool ext_colorimetry) {
  hdtx_pkt_avi avi{};
  avi.colour_indicator = colour_space == HDTX_CS_YUV444 ? 2 : colour_space == HDTX_CS_YUV422 ? 1 : 0;
  avi.active_info = 1;
  avi.active_format = 8; // as the coded frame
  avi.scan_info = 0;
  avi.picture_aspect = format.aspect == 3 ? 1 : 2;
  avi.video_code = format.code;
  avi.pixel_repetition = avi_pixel_repetition(format.code);
  // The colorimetry must name the coefficients the chip's colour matrix converted with.
  avi.colorimetry = ext_colorimetry ? 3 : hdtx_format_is_hd(format.code) ? 2 : 1;
  return avi;
}

hdtx_err tolerate(hdtx_err err, hdtx_err accepted) {
  return err == accepted ? HDTX_OK : err;
}

hdtx_err set_input_output(hdtx_dev_instance &d, const hdtx_video_in_config *in,
                          const hdtx_video_out_config *out, const hdtx_audio_in_config *audio,
                          unsigned sink_type) {
  if (in == nullptr || out == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  if (in->mode > HDTX_VIN_RGB_DDR_12BITS || in->sync_source > 1 ||
      in->pixel_rate > HDTX_PIXRATE_DOUBLE_REPEATED || in->structure_3d != 0 ||
      out->colour_space > HDTX_CS_YUV422 || sink_type > HDTX_SINK_FROM_EDID)
    return HDTX_ERR_BAD_PARAMETER;
  const hdtx_video_format_specs *out_format = dev_find_format(out->format);
  if (dev_find_format(in->format) == nullptr || out_format == nullptr)
    return HDTX_ERR_UNKNOWN_FORMAT;

  std::uint8_t features = 0;
  hdtx_err err = hdtx_reg_hw_get_capabilities(0, &features);
  unsigned sink = sink_type;
  if (err == HDTX_OK && sink == HDTX_SINK_FROM_EDID)
    err = hdtx_reg_edid_get_sink_type(0, &sink);

  const hdtx_video_port_config &ports = d.config.video_ports[in->mode];
  if (err == HDTX_OK)
    err = hdtx_reg_set_color_depth(0, out->colour_depth);
  if (err == HDTX_OK)
    err = hdtx_reg_tmds_set_outputs(0, HDTX_TMDS_ACTIVE);
  if (err == HDTX_OK)
    err =
        hdtx_reg_video_out_set_config(0, sink, out->colour_space, out->colour_space == HDTX_CS_YUV422 ? 1 : 0,
                                      out->colour_space == HDTX_CS_RGB444 ? 0 : 1);
  if (err == HDTX_OK)
    err = tolerate(hdtx_reg_set_video_port_config(0, ports.enable, ports.ground), HDTX_REG_ERR_NOT_SUPPORTED);
  if (err == HDTX_OK)
    err = tolerate(hdtx_reg_video_in_set_mapping(0, ports.swap, ports.mirror), HDTX_REG_ERR_NOT_SUPPORTED);
  if (err == HDTX_OK)
    err = hdtx_reg_video_in_set_fine(0, 0, 0);
  if (err == HDTX_OK)
    err = hdtx_reg_video_in_set_blanking(0, 0, 0);
  if (err == HDTX_OK)
    err = hdtx_reg_video_in_set_config(0, in->mode, in->sync_source, in->pixel_rate);
  if (err == HDTX_OK)
    err = hdtx_reg_video_set_in_out(0, in->format, out->format, in->pixel_rate);
  if (err == HDTX_OK)
    err = hdtx_reg_matrix_set_conversion(0, in->format, input_colour_space(in->mode), out->format,
                                         out->colour_space);
  if (err == HDTX_OK) {
    if (in->sync_source == 0) {
      err = hdtx_reg_video_in_set_sync_auto(0, in->sync_source, in->format);
    } else {
      const hdtx_sync_manual sync = dev_sync_timing(in->format);
      err = hdtx_reg_video_in_set_sync_manual(0, &sync);
    }
  }
  if (err == HDTX_OK)
    err = hdtx_reg_video_out_set_sync(0, 0, 0, 0);
  if (err != HDTX_OK)
    return err;

  d.video_configured = true;
  d.vout_format = out->format;

  // A DVI sink takes no infoframes; the register layer refuses them then.
  const hdtx_pkt_avi avi = avi_infoframe(*out_format, out->colour_space, d.ext_colorimetry);
  err = tolerate(hdtx_reg_pkt_set_video_infoframe(0, &avi, 1), HDTX_REG_ERR_NOT_HDMI);
  if (err == HDTX_OK && audio != nullptr)
    err = dev_set_audio_input(audio, sink);
  return err;
}

} // namespace

hdtx_err hdtx_set_input_output(unsigned instance, const hdtx_video_in_config *video_in,
                               const hdtx_video_out_config *video_out, const hdtx_audio_in_config *audio_in,
                               unsigned sink_type) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  err = set_input_output(dev_instance(), video_in, video_out, audio_in, sink_type);
  dev_leave();
  return err;
}

hdtx_err hdtx_set_test_pattern_on(unsigned instance, unsigned pattern) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  // 1 colour bars, 2 blue screen.
  err = pattern == 1 || pattern == 2 ? hdtx_reg_test_set_pattern(0, pattern) : HDTX_ERR_BAD_PARAMETER;
  dev_leave();
  return err;
}

hdtx_err hdtx_set_test_pattern_off(unsigned instance) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  err = hdtx_reg_test_set_pattern(0, 0);
  dev_leave();
  return err;
}
