// Video and colour families: input and output configuration, the formats with their pixel
// repetition and PLL, port mapping, sync, test pattern, and the colour conversion matrix.
#include "hdtx_reg_av.h"
#include "reg_init.h"
#include "reg_map.h"

namespace {

hdtx_err unit_of(unsigned unit, hdtx_reg_unit **u) { return check_unit(unit, u); }

bool format_valid(unsigned format) { return format >= 1 && format <= 62; }

// Pixel repetition the format carries: twice for the 1440-wide SD codes, four times for the
// 2880-wide ones.
std::uint8_t pixel_repetition(unsigned format) {
  switch (format) {
  case 6: case 7: case 8: case 9: case 14: case 15: case 21: case 22: case 23: case 24: case 29: case 30:
    return 1;
  case 10: case 11: case 25: case 26: case 35: case 36: case 37: case 38:
    return 3;
  default:
    return 0;
  }
}

// Coefficients in units of 1/256, offsets in code values; from the ITU-R BT.601 and BT.709
// equations for 8-bit limited-range YCbCr and full-range RGB.
struct matrix_set {
  std::int16_t coeff[9];
  std::int16_t offset_in[3];
  std::int16_t offset_out[3];
};
constexpr matrix_set rgb_to_ycbcr_601 = {{66, 129, 25, -38, -74, 112, 112, -94, -18}, {0, 0, 0}, {16, 128, 128}};
constexpr matrix_set rgb_to_ycbcr_709 = {{47, 157, 16, -26, -87, 112, 112, -102, -10}, {0, 0, 0}, {16, 128, 128}};
constexpr matrix_set ycbcr_to_rgb_601 = {{298, 0, 409, 298, -100, -208, 298, 516, 0}, {-16, -128, -128}, {0, 0, 0}};
constexpr matrix_set ycbcr_to_rgb_709 = {{298, 0, 459, 298, -55, -136, 298, 541, 0}, {-16, -128, -128}, {0, 0, 0}};

void put16(std::uint8_t *out, std::int16_t v) {
  auto u = static_cast<std::uint16_t>(v);
  out[0] = static_cast<std::uint8_t>(u >> 8);
  out[1] = static_cast<std::uint8_t>(u & 0xFFu);
}

} // namespace

bool hdtx_format_is_hd(unsigned format) {
  switch (format) {
  case 4: case 5: case 16: case 18: case 19: case 20: case 31:
    return true;
  default:
    return false;
  }
}

hdtx_err hdtx_reg_video_in_set_config(unsigned unit, unsigned mode, unsigned sync_source, unsigned pixel_rate) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (mode > HDTX_VIN_RGB_DDR_12BITS || sync_source > 1 || pixel_rate > HDTX_PIXRATE_DOUBLE_REPEATED)
    return HDTX_REG_ERR_BAD_PARAMETER;
  return set_hw_register(u, REG_VIDEO_IN_CNTRL,
                         static_cast<std::uint8_t>(mode | (sync_source << 3) | (pixel_rate << 4)));
}

hdtx_err hdtx_reg_video_in_set_fine(unsigned unit, unsigned pixel_offset, unsigned line_offset) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (pixel_offset > 3 || line_offset > 3)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(pixel_offset), static_cast<std::uint8_t>(line_offset)};
  return set_hw_registers(u, REG_VIDEO_FINE, bytes, 2);
}

hdtx_err hdtx_reg_video_in_set_mapping(unsigned unit, const std::uint8_t swap[6], const std::uint8_t mirror[6]) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (swap == nullptr || mirror == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t bytes[3];
  for (unsigned i = 0; i < 3; ++i) {
    unsigned a = 2 * i;
    unsigned b = 2 * i + 1;
    if (swap[a] > 5 || swap[b] > 5 || mirror[a] > 1 || mirror[b] > 1)
      return HDTX_REG_ERR_BAD_PARAMETER;
    bytes[i] = static_cast<std::uint8_t>((mirror[b] << 7) | (swap[b] << 4) | (mirror[a] << 3) | swap[a]);
  }
  return set_hw_registers(u, REG_VIDEO_PORT_SWAP, bytes, 3);
}

hdtx_err hdtx_reg_video_in_set_blanking(unsigned unit, unsigned blanking_source, unsigned blanking_code) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (blanking_source > 3 || blanking_code > 3)
    return HDTX_REG_ERR_BAD_PARAMETER;
  return set_hw_register(u, REG_BLANKING, static_cast<std::uint8_t>((blanking_source << 2) | blanking_code));
}

hdtx_err hdtx_reg_video_in_set_sync_auto(unsigned unit, unsigned sync_source, unsigned video_format) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (sync_source > 1 || !format_valid(video_format))
    return HDTX_REG_ERR_BAD_PARAMETER;
  // Bit 0: automatic sync; bit 1: embedded (0) or external (1) sync.
  return set_hw_register_field(u, REG_SYNC_CNTRL, 0x03, static_cast<std::uint8_t>(1u | (sync_source << 1)));
}

hdtx_err hdtx_reg_video_in_set_sync_manual(unsigned unit, const hdtx_sync_manual *sync) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (sync == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const std::uint16_t values[4] = {sync->ref_pixel, sync->ref_line, sync->hs_width, sync->vs_width};
  std::uint8_t bytes[8];
  for (unsigned i = 0; i < 4; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(values[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(values[i] & 0xFFu);
  }
  err = set_hw_register_field(u, REG_SYNC_CNTRL, 0x01, 0);
  if (err == HDTX_OK)
    err = set_hw_registers(u, REG_SYNC_MANUAL, bytes, 8);
  return err;
}

hdtx_err hdtx_reg_video_out_set_config(unsigned unit, unsigned sink_type, unsigned colour_space, unsigned pre_filter,
                                       unsigned yuv_blank) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (sink_type > HDTX_SINK_HDMI || colour_space > HDTX_CS_YUV422 || pre_filter > 1 || yuv_blank > 1)
    return HDTX_REG_ERR_BAD_PARAMETER;
  u->sink_type = sink_type;
  // Bit 0 HDMI mode, bits 1-2 colour space, bit 3 pre-filter, bit 4 YCbCr blanking levels.
  return set_hw_register_field(
      u, REG_OUT_CONFIG, 0x1F,
      static_cast<std::uint8_t>(sink_type | (colour_space << 1) | (pre_filter << 3) | (yuv_blank << 4)));
}

hdtx_err hdtx_reg_video_out_set_sync(unsigned unit, unsigned h_source, unsigned v_source, unsigned toggle) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (h_source > 1 || v_source > 1 || toggle > 3)
    return HDTX_REG_ERR_BAD_PARAMETER;
  return set_hw_register_field(u, REG_SYNC_CNTRL, 0xF0,
                               static_cast<std::uint8_t>(h_source | (v_source << 1) | (toggle << 2)));
}

hdtx_err hdtx_reg_video_set_in_out(unsigned unit, unsigned vin_format, unsigned vout_format, unsigned pixel_rate) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (!format_valid(vin_format) || !format_valid(vout_format) || pixel_rate > HDTX_PIXRATE_DOUBLE_REPEATED)
    return HDTX_REG_ERR_BAD_PARAMETER;
  err = set_hw_register(u, REG_VIDEO_FORMAT, static_cast<std::uint8_t>(vin_format));
  if (err == HDTX_OK)
    err = set_hw_register(u, REG_VIDEO_OUT_FORMAT, static_cast<std::uint8_t>(vout_format));
  if (err == HDTX_OK)
    err = set_hw_register_field(u, REG_PIXEL_REPEAT, 0x0F, pixel_repetition(vout_format));
  if (err == HDTX_OK)
    err = reg_set_pll(u, vout_format, pixel_rate);
  if (err != HDTX_OK)
    return err;
  u->video_format = vout_format;
  u->pixel_rate = pixel_rate;
  set_state(u, HDTX_EV_VIDEO_CONFIGURED);
  return HDTX_OK;
}

hdtx_err hdtx_reg_set_video_port_config(unsigned unit, const std::uint8_t enable[3], const std::uint8_t ground[3]) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (enable == nullptr || ground == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  err = set_hw_registers(u, REG_VIDEO_PORT_ENA, enable, 3);
  if (err == HDTX_OK)
    err = set_hw_registers(u, REG_VIDEO_PORT_GND, ground, 3);
  return err;
}

hdtx_err hdtx_reg_set_color_depth(unsigned unit, unsigned depth) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (depth > 3)
    return HDTX_REG_ERR_BAD_PARAMETER;
  if (depth != 0)
    return HDTX_REG_ERR_NOT_SUPPORTED;
  return set_hw_register_field(u, REG_PIXEL_REPEAT, 0x30, 0);
}

hdtx_err hdtx_reg_tmds_set_outputs(unsigned unit, unsigned mode) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (mode > HDTX_TMDS_OFF)
    return HDTX_REG_ERR_BAD_PARAMETER;
  return set_hw_register_field(u, REG_OUT_CONFIG, 0x60, static_cast<std::uint8_t>(mode));
}

hdtx_err hdtx_reg_test_set_pattern(unsigned unit, unsigned pattern) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (pattern > 2)
    return HDTX_REG_ERR_BAD_PARAMETER;
  return set_hw_register(u, REG_TEST_PATTERN, static_cast<std::uint8_t>(pattern));
}

hdtx_err hdtx_reg_video_set_output_off(unsigned unit, bool off) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  err = set_hw_register_field(u, REG_VIDEO_OUT_OFF, 0x20, off ? 1 : 0);
  if (err == HDTX_OK && off)
    set_state(u, HDTX_EV_VIDEO_OFF);
  return err;
}

hdtx_err hdtx_reg_matrix_set_mode(unsigned unit, bool bypass) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register_field(u, REG_MATRIX_CNTRL, 0x01, bypass ? 1 : 0);
}

hdtx_err hdtx_reg_matrix_set_conversion(unsigned unit, unsigned vin_format, unsigned vin_space, unsigned vout_format,
                                        unsigned vout_space) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = unit_of(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (!format_valid(vin_format) || !format_valid(vout_format) || vin_space > HDTX_CS_YUV422 ||
      vout_space > HDTX_CS_YUV422)
    return HDTX_REG_ERR_BAD_PARAMETER;
  bool in_rgb = vin_space == HDTX_CS_RGB444;
  bool out_rgb = vout_space == HDTX_CS_RGB444;
  if (in_rgb == out_rgb)
    return hdtx_reg_matrix_set_mode(unit, true);
  bool hd = hdtx_format_is_hd(vout_format);
  const matrix_set &m = in_rgb ? (hd ? rgb_to_ycbcr_709 : rgb_to_ycbcr_601) : (hd ? ycbcr_to_rgb_709 : ycbcr_to_rgb_601);
  std::uint8_t bytes[30];
  for (unsigned i = 0; i < 9; ++i)
    put16(bytes + 2 * i, m.coeff[i]);
  for (unsigned i = 0; i < 3; ++i) {
    put16(bytes + 18 + 2 * i, m.offset_in[i]);
    put16(bytes + 24 + 2 * i, m.offset_out[i]);
  }
  err = set_hw_registers(u, REG_MATRIX_COEFF, bytes, sizeof bytes);
  if (err == HDTX_OK)
    err = set_hw_register_field(u, REG_MATRIX_CNTRL, 0x07, static_cast<std::uint8_t>(in_rgb ? 0x02 : 0x04));
  return err;
}
