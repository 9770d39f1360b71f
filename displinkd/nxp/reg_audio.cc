// Audio family: input ports and format, N and CTS for audio clock regeneration, channel status
// and mute.
#include "hdtx_reg_av.h"
#include "reg_map.h"

namespace {

// Pixel clocks that CEA-861 formats run at.
enum clock_code : std::uint8_t {
  CLK_NONE, CLK_25175, CLK_25200, CLK_27000, CLK_27027, CLK_54000, CLK_54054, CLK_59400, CLK_74175, CLK_74250,
  CLK_108000, CLK_108108, CLK_148350, CLK_148500, CLK_72000
};

constexpr hdtx_pixel_clock clock_of(clock_code c) {
  switch (c) {
  case CLK_25175: return {25200000, true};
  case CLK_25200: return {25200000, false};
  case CLK_27000: return {27000000, false};
  case CLK_27027: return {27027000, false};
  case CLK_54000: return {54000000, false};
  case CLK_54054: return {54054000, false};
  case CLK_59400: return {59400000, false};
  case CLK_74175: return {74250000, true};
  case CLK_74250: return {74250000, false};
  case CLK_108000: return {108000000, false};
  case CLK_108108: return {108108000, false};
  case CLK_148350: return {148500000, true};
  case CLK_148500: return {148500000, false};
  case CLK_72000: return {72000000, false};
  default: return {0, false};
  }
}

// Rows: format codes 1 to 41 (60 to 62 take rows 39 to 41); columns: field-rate codes 24, 25,
// 30, 50, 59.94 and 60 Hz.
constexpr std::uint8_t vfmt_to_pix_clk[41][6] = {
    /* 1 */ {0, 0, 0, 0, CLK_25175, CLK_25200},
    /* 2 */ {0, 0, 0, 0, CLK_27000, CLK_27027},
    /* 3 */ {0, 0, 0, 0, CLK_27000, CLK_27027},
    /* 4 */ {0, 0, 0, 0, CLK_74175, CLK_74250},
    /* 5 */ {0, 0, 0, 0, CLK_74175, CLK_74250},
    /* 6 */ {0, 0, 0, 0, CLK_27000, CLK_27027},
    /* 7 */ {0, 0, 0, 0, CLK_27000, CLK_27027},
    /* 8 */ {0, 0, 0, 0, CLK_27000, CLK_27027},
    /* 9 */ {0, 0, 0, 0, CLK_27000, CLK_27027},
    /* 10 */ {0, 0, 0, 0, CLK_54000, CLK_54054},
    /* 11 */ {0, 0, 0, 0, CLK_54000, CLK_54054},
    /* 12 */ {0, 0, 0, 0, CLK_54000, CLK_54054},
    /* 13 */ {0, 0, 0, 0, CLK_54000, CLK_54054},
    /* 14 */ {0, 0, 0, 0, CLK_54000, CLK_54054},
    /* 15 */ {0, 0, 0, 0, CLK_54000, CLK_54054},
    /* 16 */ {0, 0, 0, 0, CLK_148350, CLK_148500},
    /* 17 */ {0, 0, 0, CLK_27000, 0, 0},
    /* 18 */ {0, 0, 0, CLK_27000, 0, 0},
    /* 19 */ {0, 0, 0, CLK_74250, 0, 0},
    /* 20 */ {0, 0, 0, CLK_74250, 0, 0},
    /* 21 */ {0, 0, 0, CLK_27000, 0, 0},
    /* 22 */ {0, 0, 0, CLK_27000, 0, 0},
    /* 23 */ {0, 0, 0, CLK_27000, 0, 0},
    /* 24 */ {0, 0, 0, CLK_27000, 0, 0},
    /* 25 */ {0, 0, 0, CLK_54000, 0, 0},
    /* 26 */ {0, 0, 0, CLK_54000, 0, 0},
    /* 27 */ {0, 0, 0, CLK_54000, 0, 0},
    /* 28 */ {0, 0, 0, CLK_54000, 0, 0},
    /* 29 */ {0, 0, 0, CLK_54000, 0, 0},
    /* 30 */ {0, 0, 0, CLK_54000, 0, 0},
    /* 31 */ {0, 0, 0, CLK_148500, 0, 0},
    /* 32 */ {CLK_74250, 0, 0, 0, 0, 0},
    /* 33 */ {0, CLK_74250, 0, 0, 0, 0},
    /* 34 */ {0, 0, CLK_74250, 0, 0, 0},
    /* 35 */ {0, 0, 0, 0, CLK_108000, CLK_108108},
    /* 36 */ {0, 0, 0, 0, CLK_108000, CLK_108108},
    /* 37 */ {0, 0, 0, CLK_108000, 0, 0},
    /* 38 */ {0, 0, 0, CLK_108000, 0, 0},
    /* 60 */ {CLK_59400, 0, 0, 0, 0, 0},
    /* 61 */ {0, CLK_74250, 0, 0, 0, 0},
    /* 62 */ {0, 0, CLK_74250, 0, 0, 0},
};

constexpr std::uint32_t rate_hz[7] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};
// IEC 60958 sampling-frequency codes of the rate codes.
constexpr std::uint8_t iec_rate_code[7] = {0x3, 0x0, 0x2, 0x8, 0xA, 0xC, 0xE};

// The base rate (32, 44.1 or 48 kHz) a rate code is a multiple of, and the multiple.
void base_rate(unsigned rate, unsigned *base, unsigned *multiple) {
  static constexpr unsigned bases[7] = {0, 1, 2, 1, 2, 1, 2};
  static constexpr unsigned multiples[7] = {1, 1, 1, 2, 2, 4, 4};
  *base = bases[rate];
  *multiple = multiples[rate];
}

} // namespace

hdtx_pixel_clock hdtx_vfmt_to_pix_clk(unsigned format, unsigned field_rate) {
  if (field_rate > 5)
    return {0, false};
  unsigned row = 0;
  if (format >= 1 && format <= 38)
    row = format - 1;
  else if (format >= 60 && format <= 62)
    row = format - 60 + 38;
  else
    return {0, false};
  return clock_of(static_cast<clock_code>(vfmt_to_pix_clk[row][field_rate]));
}

void hdtx_audio_n_cts(unsigned rate, hdtx_pixel_clock clock, std::uint32_t *n, std::uint32_t *cts) {
  unsigned base = 0;
  unsigned multiple = 1;
  base_rate(rate > 6 ? 2 : rate, &base, &multiple);
  // Recommended N for audio clock regeneration; the 1/1.001 clocks take the values that give
  // a whole CTS.
  static constexpr std::uint32_t n_default[3] = {4096, 6272, 6144};
  std::uint32_t value = n_default[base];
  if (clock.drop) {
    if (clock.hz == 25200000) {
      static constexpr std::uint32_t n25[3] = {4576, 7007, 6864};
      value = n25[base];
    } else if (clock.hz == 74250000) {
      static constexpr std::uint32_t n74[3] = {11648, 17836, 11648};
      value = n74[base];
    } else if (clock.hz == 148500000) {
      static constexpr std::uint32_t n148[3] = {11648, 8918, 5824};
      value = n148[base];
    }
  }
  value *= multiple;
  std::uint64_t fs = rate_hz[rate > 6 ? 2 : rate];
  std::uint64_t numerator = static_cast<std::uint64_t>(clock.hz) * value * (clock.drop ? 1000u : 1u);
  std::uint64_t denominator = 128u * fs * (clock.drop ? 1001u : 1u);
  *n = value;
  *cts = static_cast<std::uint32_t>((numerator + denominator / 2) / denominator);
}

hdtx_err hdtx_reg_set_audio_port_config(unsigned unit, std::uint8_t enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register(u, REG_AUDIO_PORT, enable);
}

hdtx_err hdtx_reg_set_audio_clock_port_config(unsigned unit, std::uint8_t enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register(u, REG_AUDIO_CLOCK_PORT, enable);
}

hdtx_err hdtx_reg_audio_in_set_config(unsigned unit, unsigned format, std::uint8_t channel_alloc,
                                      std::uint8_t i2s_format, std::uint8_t i2s_qualifier, unsigned dst_rate) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (format > 4 || dst_rate > 1 || (i2s_qualifier != 16 && i2s_qualifier != 32) || i2s_format > 0x3F)
    return HDTX_REG_ERR_BAD_PARAMETER;
  // Bits 0-2 format, bit 3 32-bit I2S slots, bit 4 DST double rate; the I2S format byte beside it.
  err = set_hw_register(u, REG_AUDIO_IN_CNTRL,
                        static_cast<std::uint8_t>(format | (i2s_qualifier == 32 ? 0x08u : 0u) | (dst_rate << 4)));
  if (err == HDTX_OK)
    err = set_hw_register(u, REG_AUDIO_LAYOUT, channel_alloc);
  if (err == HDTX_OK)
    err = set_hw_register(u, hdtx_reg(PI_11, 0x02), i2s_format);
  return err;
}

hdtx_err hdtx_reg_audio_in_set_cts(unsigned unit, unsigned rate, unsigned vout_format, unsigned field_rate) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (rate > 6)
    return HDTX_REG_ERR_BAD_PARAMETER;
  hdtx_pixel_clock clock = hdtx_vfmt_to_pix_clk(vout_format, field_rate);
  if (clock.hz == 0)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint32_t n = 0;
  std::uint32_t cts = 0;
  hdtx_audio_n_cts(rate, clock, &n, &cts);
  // CTS then N, three bytes each, least significant first.
  const std::uint8_t bytes[6] = {static_cast<std::uint8_t>(cts & 0xFFu), static_cast<std::uint8_t>((cts >> 8) & 0xFFu),
                                 static_cast<std::uint8_t>((cts >> 16) & 0x0Fu), static_cast<std::uint8_t>(n & 0xFFu),
                                 static_cast<std::uint8_t>((n >> 8) & 0xFFu), static_cast<std::uint8_t>((n >> 16) & 0x0Fu)};
  err = set_hw_registers(u, REG_AUDIO_CTS_N, bytes, 6);
  if (err == HDTX_OK)
    err = set_hw_register_field(u, REG_AUDIO_CTS_CNTRL, 0x01, 1); // the chip measures CTS itself
  return err;
}

hdtx_err hdtx_reg_audio_in_reset_cts(unsigned unit) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  err = set_hw_register_field(u, REG_AUDIO_CTS_CNTRL, 0x02, 1);
  if (err == HDTX_OK)
    err = set_hw_register_field(u, REG_AUDIO_CTS_CNTRL, 0x02, 0);
  return err;
}

hdtx_err hdtx_reg_audio_out_set_chan_status(unsigned unit, const hdtx_aud_chan_status *status, unsigned rate) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (status == nullptr || rate > 6 || status->pcm_identification > 1 || status->copyright > 1 ||
      status->format_info > 7 || status->mode > 3 || status->clock_accuracy > 3 || status->max_word_length > 1 ||
      status->word_length > 7)
    return HDTX_REG_ERR_BAD_PARAMETER;
  // IEC 60958-3 consumer layout, bytes 0, 1, 3 and 4 (byte 2, source and channel numbers, is 0).
  const std::uint8_t bytes[5] = {
      static_cast<std::uint8_t>((status->pcm_identification << 1) | (status->copyright << 2) |
                                (status->format_info << 3) | (status->mode << 6)),
      status->category_code,
      0,
      static_cast<std::uint8_t>(iec_rate_code[rate] | (status->clock_accuracy << 4)),
      static_cast<std::uint8_t>(status->max_word_length | (status->word_length << 1)),
  };
  return set_hw_registers(u, REG_AUDIO_CH_STATUS, bytes, 5);
}

hdtx_err hdtx_reg_audio_out_set_mute(unsigned unit, bool mute) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register_field(u, REG_AUDIO_MUTE, 0x01, mute ? 1 : 0);
}
