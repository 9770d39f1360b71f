// Video, colour and audio families of the register layer. Each function checks the unit and its
// parameters (HDTX_REG_ERR_BAD_PARAMETER) and then writes fixed register fields; where those
// fields lie is told in reg_map.h, which marks the ones still to be confirmed on the device.
#pragma once

#include "hdtx_types.h"

#include <cstdint>

// Video input modes.
enum hdtx_vin_mode : unsigned {
  HDTX_VIN_CCIR656 = 0,
  HDTX_VIN_YUV422 = 1,
  HDTX_VIN_YUV444 = 2,
  HDTX_VIN_RGB444 = 3,
  HDTX_VIN_RGB_DDR_12BITS = 4,
};
// Colour space of the output (and of the input's colour conversion).
enum hdtx_colour_space : unsigned { HDTX_CS_RGB444 = 0, HDTX_CS_YUV444 = 1, HDTX_CS_YUV422 = 2 };
// Pixel rates: 0 double, 1 single, 2 single repeated, 3 double repeated.
enum hdtx_pixel_rate : unsigned { HDTX_PIXRATE_DOUBLE = 0, HDTX_PIXRATE_SINGLE = 1, HDTX_PIXRATE_SINGLE_REPEATED = 2,
                                  HDTX_PIXRATE_DOUBLE_REPEATED = 3 };
// TMDS outputs.
enum hdtx_tmds_mode : unsigned { HDTX_TMDS_NORMAL = 0, HDTX_TMDS_HIGH_Z = 1, HDTX_TMDS_ACTIVE = 2, HDTX_TMDS_OFF = 3 };

hdtx_err hdtx_reg_video_in_set_config(unsigned unit, unsigned mode, unsigned sync_source, unsigned pixel_rate);
hdtx_err hdtx_reg_video_in_set_fine(unsigned unit, unsigned pixel_offset, unsigned line_offset);
// Swap (port number 0 to 5) and mirror flag of each of the six input ports.
hdtx_err hdtx_reg_video_in_set_mapping(unsigned unit, const std::uint8_t swap[6], const std::uint8_t mirror[6]);
hdtx_err hdtx_reg_video_in_set_blanking(unsigned unit, unsigned blanking_source, unsigned blanking_code);
hdtx_err hdtx_reg_video_in_set_sync_auto(unsigned unit, unsigned sync_source, unsigned video_format);
struct hdtx_sync_manual {
  std::uint16_t ref_pixel;
  std::uint16_t ref_line;
  std::uint16_t hs_width;
  std::uint16_t vs_width;
};
hdtx_err hdtx_reg_video_in_set_sync_manual(unsigned unit, const hdtx_sync_manual *sync);
hdtx_err hdtx_reg_video_out_set_config(unsigned unit, unsigned sink_type, unsigned colour_space, unsigned pre_filter,
                                       unsigned yuv_blank);
hdtx_err hdtx_reg_video_out_set_sync(unsigned unit, unsigned h_source, unsigned v_source, unsigned toggle);
// Input and output formats (CEA-861 codes 1 to 62), pixel rate; raises the video-configured event.
hdtx_err hdtx_reg_video_set_in_out(unsigned unit, unsigned vin_format, unsigned vout_format, unsigned pixel_rate);
// Port enable and ground masks, three registers each.
hdtx_err hdtx_reg_set_video_port_config(unsigned unit, const std::uint8_t enable[3], const std::uint8_t ground[3]);
// Colour depth: 0 = 24 bits per pixel, the only depth this part carries.
hdtx_err hdtx_reg_set_color_depth(unsigned unit, unsigned depth);
hdtx_err hdtx_reg_tmds_set_outputs(unsigned unit, unsigned mode);
// Test pattern: 0 off, 1 colour bars, 2 blue screen.
hdtx_err hdtx_reg_test_set_pattern(unsigned unit, unsigned pattern);
// Switches the video output off (raises the video-off event) or back on.
hdtx_err hdtx_reg_video_set_output_off(unsigned unit, bool off);

// Colour: conversion between the input and output colour spaces with the coefficient set of the
// output format's colorimetry (see hdtx_format_is_hd); bypass when the
// spaces are the same.
hdtx_err hdtx_reg_matrix_set_conversion(unsigned unit, unsigned vin_format, unsigned vin_space, unsigned vout_format,
                                        unsigned vout_space);
hdtx_err hdtx_reg_matrix_set_mode(unsigned unit, bool bypass);
// True for the CEA-861 codes sent as ITU-R BT.709 (4, 5, 16, 18, 19, 20, 31; BT.601 for the
// rest): the colour matrix converts with these coefficients and the AVI infoframe names them, so
// the two always agree.
bool hdtx_format_is_hd(unsigned format);

// Audio.
hdtx_err hdtx_reg_set_audio_port_config(unsigned unit, std::uint8_t enable);
hdtx_err hdtx_reg_set_audio_clock_port_config(unsigned unit, std::uint8_t enable);
// Audio input formats: 0 SPDIF, 1 I2S, 2 one-bit audio, 3 DST, 4 high bit rate.
hdtx_err hdtx_reg_audio_in_set_config(unsigned unit, unsigned format, std::uint8_t channel_alloc,
                                      std::uint8_t i2s_format, std::uint8_t i2s_qualifier, unsigned dst_rate);
// N and CTS for the audio rate code (0 to 6: 32, 44.1, 48, 88.2, 96, 176.4, 192 kHz) and the
// output's pixel clock (format and field-rate code).
hdtx_err hdtx_reg_audio_in_set_cts(unsigned unit, unsigned rate, unsigned vout_format, unsigned field_rate);
hdtx_err hdtx_reg_audio_in_reset_cts(unsigned unit);
// IEC 60958 channel status, consumer layout.
struct hdtx_aud_chan_status {
  std::uint8_t pcm_identification; // 0 linear PCM
  std::uint8_t copyright;          // 1 no copyright asserted
  std::uint8_t format_info;        // pre-emphasis, 3 bits
  std::uint8_t mode;
  std::uint8_t category_code;
  std::uint8_t clock_accuracy;
  std::uint8_t max_word_length;
  std::uint8_t word_length;
};
hdtx_err hdtx_reg_audio_out_set_chan_status(unsigned unit, const hdtx_aud_chan_status *status, unsigned rate);
hdtx_err hdtx_reg_audio_out_set_mute(unsigned unit, bool mute);

// Pixel clock of an output format at a field rate, in Hz as the fraction num / 1001 when
// `drop` else num; 0 when the format has no clock at that rate. Exposed for tests.
struct hdtx_pixel_clock {
  std::uint32_t hz;  // nominal clock
  bool drop;         // divided by 1.001
};
hdtx_pixel_clock hdtx_vfmt_to_pix_clk(unsigned format, unsigned field_rate);
// Recommended N and the CTS it gives for an audio rate code at a pixel clock.
void hdtx_audio_n_cts(unsigned rate, hdtx_pixel_clock clock, std::uint32_t *n, std::uint32_t *cts);
