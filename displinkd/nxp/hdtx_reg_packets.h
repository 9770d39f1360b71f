// Packet family of the register layer: infoframes and data-island packets. Each is refused with
// HDTX_REG_ERR_NOT_HDMI unless the sink is HDMI; `enable` must be 0 or 1; a null data pointer
// only switches the packet's enable bit. Payload layouts follow CEA-861 (infoframes) and the
// HDMI data-island packet headers (ACP, ISRC, gamut).
#pragma once

#include "hdtx_types.h"

#include <cstdint>

// Source Product Description infoframe (type 0x83, version 1, length 25).
struct hdtx_pkt_spd {
  std::uint8_t vendor_name[8];
  std::uint8_t product_desc[16];
  std::uint8_t source_info; // 0 to 9
};

// AVI infoframe fields (type 0x82, version 2, length 13), as CEA-861 numbers them.
struct hdtx_pkt_avi {
  std::uint8_t colour_indicator;  // Y: 0 RGB, 1 YCbCr 4:2:2, 2 YCbCr 4:4:4
  std::uint8_t active_info;       // A: 1 when the active format field is valid
  std::uint8_t bar_info;          // B
  std::uint8_t scan_info;         // S
  std::uint8_t colorimetry;       // C: 0 none, 1 ITU-R BT.601, 2 ITU-R BT.709, 3 extended
  std::uint8_t picture_aspect;    // M: 0 none, 1 4:3, 2 16:9
  std::uint8_t active_format;     // R: 8 as the picture
  std::uint8_t it_content;        // ITC
  std::uint8_t ext_colorimetry;   // EC
  std::uint8_t rgb_quantization;  // Q
  std::uint8_t nonuniform_scaling;// SC
  std::uint8_t video_code;        // VIC
  std::uint8_t ycc_quantization;  // YQ
  std::uint8_t content_type;      // CN
  std::uint8_t pixel_repetition;  // PR
  std::uint16_t top_bar_end;
  std::uint16_t bottom_bar_start;
  std::uint16_t left_bar_end;
  std::uint16_t right_bar_start;
};

// The 13 AVI payload bytes as they go out (PB1 to PB13).
struct hdtx_pkt_raw_avi {
  std::uint8_t payload[13];
};

// Audio infoframe (type 0x84, version 1, length 10).
struct hdtx_pkt_aif {
  std::uint8_t coding_type;     // CT
  std::uint8_t channel_count;   // CC: channels - 1
  std::uint8_t sample_freq;     // SF
  std::uint8_t sample_size;     // SS
  std::uint8_t channel_alloc;   // CA
  std::uint8_t level_shift;     // LSV
  std::uint8_t down_mix_inhibit;// DM_INH
};

// MPEG source infoframe (type 0x85, version 1, length 10).
struct hdtx_pkt_mpeg {
  std::uint32_t bit_rate; // Hz
  std::uint8_t frame_type; // MF: 0 unknown, 1 I, 2 B, 3 P
  bool field_repeat;       // FR0
};

// Vendor-specific infoframe (type 0x81, version 1): IEEE identifier then up to 24 bytes.
struct hdtx_pkt_vs {
  std::uint32_t ieee_id;
  std::uint8_t length; // bytes of `payload` used
  std::uint8_t payload[24];
};

// Audio content protection packet (type 0x04).
struct hdtx_pkt_acp {
  std::uint8_t acp_type;
  std::uint8_t data[28];
};

// ISRC1 (type 0x05) and ISRC2 (type 0x06) packets.
struct hdtx_pkt_isrc {
  bool continued;
  bool valid;
  std::uint8_t status; // 0 to 7, ISRC1 only
  std::uint8_t data[16];
};

// Gamut metadata packet (type 0x0A).
struct hdtx_pkt_gamut {
  std::uint8_t hb1;
  std::uint8_t hb2;
  std::uint8_t data[28];
};

hdtx_err hdtx_reg_pkt_set_spd_infoframe(unsigned unit, const hdtx_pkt_spd *spd, unsigned enable);
hdtx_err hdtx_reg_pkt_set_video_infoframe(unsigned unit, const hdtx_pkt_avi *avi, unsigned enable);
hdtx_err hdtx_reg_pkt_set_raw_video_infoframe(unsigned unit, const hdtx_pkt_raw_avi *avi, unsigned enable);
hdtx_err hdtx_reg_pkt_set_audio_infoframe(unsigned unit, const hdtx_pkt_aif *aif, unsigned enable);
hdtx_err hdtx_reg_pkt_set_mpeg_infoframe(unsigned unit, const hdtx_pkt_mpeg *mpeg, unsigned enable);
hdtx_err hdtx_reg_pkt_set_vs_infoframe(unsigned unit, const hdtx_pkt_vs *vs, unsigned enable);
hdtx_err hdtx_reg_pkt_set_acp(unsigned unit, const hdtx_pkt_acp *acp, unsigned enable);
hdtx_err hdtx_reg_pkt_set_isrc1(unsigned unit, const hdtx_pkt_isrc *isrc, unsigned enable);
hdtx_err hdtx_reg_pkt_set_isrc2(unsigned unit, const hdtx_pkt_isrc *isrc, unsigned enable);
// General control packet: AV mute set (1) or clear (0).
hdtx_err hdtx_reg_pkt_set_general_cntrl(unsigned unit, const unsigned *av_mute, unsigned enable);
hdtx_err hdtx_reg_pkt_set_null_insert(unsigned unit, unsigned enable);
hdtx_err hdtx_reg_pkt_set_null_single(unsigned unit);
hdtx_err hdtx_reg_pkt_fill_gamut(unsigned unit, const hdtx_pkt_gamut *gamut);
hdtx_err hdtx_reg_pkt_send_gamut(unsigned unit, unsigned enable);
