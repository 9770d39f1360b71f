// EDID reading and sink capabilities: the parse results a unit keeps, the block-by-block read
// the register layer drives from its interrupts, and the getters.
#pragma once

#include "hdtx_types.h"

#include <cstdint>

struct hdtx_reg_unit;

enum hdtx_edid_status : std::uint8_t {
  HDTX_EDID_READ = 0,
  HDTX_EDID_BLOCK0_CHECKSUM = 2,
  HDTX_EDID_EXT_CHECKSUM = 3,
  HDTX_EDID_NOT_READ = 4,
};

inline constexpr unsigned HDTX_EDID_BLOCK_SIZE = 128;
inline constexpr unsigned HDTX_EDID_MAX_DTD = 10;
inline constexpr unsigned HDTX_EDID_MAX_SVD = 113;
inline constexpr unsigned HDTX_EDID_MAX_SAD = 30;

// A decoded detailed timing descriptor.
struct hdtx_edid_dtd {
  std::uint16_t pixel_clock; // units of 10 kHz
  std::uint16_t h_active;
  std::uint16_t h_blanking;
  std::uint16_t v_active;
  std::uint16_t v_blanking;
  std::uint16_t h_sync_offset;
  std::uint16_t h_sync_width;
  std::uint16_t v_sync_offset;
  std::uint16_t v_sync_width;
  std::uint16_t h_image_size; // mm
  std::uint16_t v_image_size; // mm
  std::uint8_t h_border;
  std::uint8_t v_border;
  std::uint8_t flags; // bit 7 interlaced
};

struct hdtx_edid_monitor_name {
  std::uint8_t bytes[13];
};

struct hdtx_edid_sad {
  std::uint8_t bytes[3];
};

// Latency values of the HDMI vendor block, each with its presence flag.
struct hdtx_edid_latency {
  bool latency_present;
  bool interlaced_latency_present;
  std::uint8_t video_latency;
  std::uint8_t audio_latency;
  std::uint8_t interlaced_video_latency;
  std::uint8_t interlaced_audio_latency;
};

// The HDMI vendor block fields past the latencies (HDMI video present, 3D fields and the bytes
// that follow), as far as the block reaches.
struct hdtx_edid_extra_vsdb {
  bool hdmi_video_present;
  std::uint8_t hdmi_video_flags;   // the byte after the latencies: 3D present and multi fields
  std::uint8_t hdmi_vic_length;    // top 3 bits of the next byte
  std::uint8_t hdmi_3d_length;     // low 5 bits of that byte
  std::uint8_t following_count;    // bytes kept in `following`
  std::uint8_t following[27];
};

struct hdtx_edid_data {
  std::uint8_t status; // hdtx_edid_status

  // Request state.
  bool request_pending;
  std::uint8_t block_index;
  unsigned block_count; // byte 126 of block 0 plus 1
  std::uint8_t *raw_buffer;
  unsigned raw_capacity_blocks;

  std::uint8_t basic_display[5]; // block 0 bytes 20 to 24

  hdtx_edid_dtd dtd[HDTX_EDID_MAX_DTD];
  std::uint8_t dtd_count;

  hdtx_edid_monitor_name names[2];
  std::uint8_t name_count;
  std::uint8_t range_limits[5];
  bool range_limits_found;

  std::uint8_t svd[HDTX_EDID_MAX_SVD];
  std::uint8_t svd_count;

  hdtx_edid_sad sad[HDTX_EDID_MAX_SAD];
  std::uint8_t sad_count;

  std::uint8_t cea_flags;
  std::uint8_t colorimetry;

  bool hdmi_found; // makes the sink HDMI
  std::uint16_t physical_address;
  std::uint8_t vsdb_capability;
  std::uint8_t vsdb_max_tmds;
  hdtx_edid_latency latency;
  hdtx_edid_extra_vsdb extra;
};
