// EDID reading and sink capabilities: the parse results a unit keeps, the block-by-block read
// the register layer drives from its interrupts, and the getters.
#pragma once

#include "hdtx_types.h"

#include <array>
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
inline constexpr unsigned HDTX_EDID_MAX_NAMES = 2;
// Timings kept from one CEA-861 extension.
inline constexpr unsigned HDTX_EDID_MAX_DTD_PER_EXT = 6;
// The chip's segment register reaches blocks 0 to 254.
inline constexpr unsigned HDTX_EDID_MAX_BLOCK_INDEX = 254;
// What the source address getter answers without an HDMI vendor block: CEC's "no address".
inline constexpr std::uint16_t HDTX_EDID_NO_ADDRESS = 0xFFFF;

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
  std::uint8_t hdmi_video_flags; // the byte after the latencies: 3D present and multi fields
  std::uint8_t hdmi_vic_length;  // top 3 bits of the next byte
  std::uint8_t hdmi_3d_length;   // low 5 bits of that byte
  std::uint8_t following_count;  // bytes kept in `following`
  std::uint8_t following[27];
};

// Monitor descriptors of block 0: up to two names and the first range-limits descriptor.
struct hdtx_edid_monitor_descs {
  hdtx_edid_monitor_name names[HDTX_EDID_MAX_NAMES];
  std::uint8_t name_count;
  std::uint8_t range_limits[5]; // descriptor bytes 5 to 9
  bool range_limits_found;
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

  hdtx_edid_monitor_name names[HDTX_EDID_MAX_NAMES];
  std::uint8_t name_count;
  std::uint8_t range_limits[5];
  bool range_limits_found;

  std::uint8_t svd[HDTX_EDID_MAX_SVD];
  std::uint8_t svd_count;

  hdtx_edid_sad sad[HDTX_EDID_MAX_SAD];
  std::uint8_t sad_count;

  bool cea_found;         // a CEA-861 extension was seen
  std::uint8_t cea_flags; // its byte 3 (the last extension's)
  bool colorimetry_found;
  std::uint8_t colorimetry;

  bool hdmi_found;          // makes the sink HDMI
  std::uint8_t vsdb_length; // payload length of the HDMI vendor block, cut at the extension's d
  std::uint8_t vsdb_flags;  // its byte 8 (latency and HDMI video presence), 0 when short
  std::uint16_t physical_address;
  std::uint8_t vsdb_capability;
  std::uint8_t vsdb_max_tmds;
  hdtx_edid_latency latency;
  hdtx_edid_extra_vsdb extra;
};

// Pure parsing, usable without a chip.

// Clears every parse result and sets status 4; the request state stays as it is.
void edid_reset_results(hdtx_edid_data &d);
// Checks and parses one 128-byte block `index` of the EDID, copying it into the raw buffer when
// there is one and `index` is below its capacity. Block 0 failing its checksum sets status 2 and
// parses nothing (and later blocks are then ignored); a later block failing sets status 3 and is
// parsed all the same. Never reads outside `block[0..127]`.
void edid_parse_block(hdtx_edid_data &d, unsigned index, const std::uint8_t *block);
// Ends a parse: status 0 unless a checksum error (2 or 3) was found.
void edid_parse_done(hdtx_edid_data &d);

// The CEA-861 video code of a detailed timing, 0 when none fits.
std::uint8_t edid_dtd_to_cea(const hdtx_edid_dtd &t);

struct hdtx_video_cap {
  std::uint8_t code;
  bool native;
};

// Video flags returned with the video capabilities.
inline constexpr std::uint8_t HDTX_VCAP_UNDERSCAN = 0x80;
inline constexpr std::uint8_t HDTX_VCAP_YCBCR444 = 0x40;
inline constexpr std::uint8_t HDTX_VCAP_YCBCR422 = 0x20;
inline constexpr std::uint8_t HDTX_VCAP_COLORIMETRY_MASK = 0x03;

// The sink's video list: the first timing converted (not native), every short video descriptor
// (code = byte AND 0x7F, native = bit 7), then the other timings converted; at most `max`
// entries, their number in *count. *flags gets the video flags. `list` may be null when `max`
// is 0; `count` and `flags` may be null.
void edid_video_caps(const hdtx_edid_data &d, hdtx_video_cap *list, unsigned max, unsigned *count,
                     std::uint8_t *flags);

// Video flags alone (underscan, YCbCr 4:4:4 and 4:2:2 from the CEA flags, colorimetry bits 0-1).
std::uint8_t edid_video_flags(const hdtx_edid_data &d);

// Register layer: the block-by-block read through the chip's EDID RAM.

// Starts the DDC read of block `n` (0 to 254) into the EDID RAM of page 0x09.
hdtx_err edid_read_block(hdtx_reg_unit *u, unsigned n);
// On the EDID-block interrupt: reads the block out of the chip, parses it and starts the next one
// or ends the read. *complete tells whether the read has ended (the application is to hear of
// it), including a block 0 checksum failure. When the block cannot be read out of the chip, its
// DDC read is started again and the I2C error returned.
hdtx_err edid_block_available(hdtx_reg_unit *u, bool *complete);
// Abandons a read in progress and resets the results (status 4).
void clear_edid_request(hdtx_reg_unit *u);

// Starts the read of the whole EDID of the sink on `unit`. `buffer` (optional) receives the raw
// blocks: `size` bytes of room, of which `blocks` blocks are wanted.
// Refusals: size below 128 or below blocks x 128: HDTX_REG_ERR_BAD_PARAMETER; blocks outside 1 to
// 255: HDTX_REG_ERR_RANGE; hot-plug line low: HDTX_REG_ERR_NO_SINK; a read already in progress:
// HDTX_REG_ERR_NOT_ALLOWED.
hdtx_err hdtx_reg_edid_request_block_data(unsigned unit, std::uint8_t *buffer, unsigned blocks,
                                          unsigned size);

// Getters. The status and block count answer at any time; the capability getters only when the
// status is 0 or 3 (else HDTX_REG_ERR_NOT_ALLOWED). Output pointers must not be null
// (HDTX_REG_ERR_BAD_PARAMETER).
hdtx_err hdtx_reg_edid_get_status(unsigned unit, std::uint8_t *status, unsigned *block_count);
hdtx_err hdtx_reg_edid_get_block_count(unsigned unit, unsigned *block_count);
// The raw short video descriptor bytes in EDID order (at most `max`) and the video flags.
hdtx_err hdtx_reg_edid_get_video_capabilities(unsigned unit, std::uint8_t *svd, unsigned max, unsigned *count,
                                              std::uint8_t *flags);
// The kept short audio descriptors, 3 bytes each as in the EDID (at most `max`), and the CEA
// flags byte (bit 6: basic audio) in *cea_flags (0 without a CEA extension).
hdtx_err hdtx_reg_edid_get_audio_capabilities(unsigned unit, hdtx_edid_sad *sad, unsigned max,
                                              unsigned *count, std::uint8_t *cea_flags);
// HDTX_SINK_HDMI when an HDMI vendor block was found, else HDTX_SINK_DVI.
hdtx_err hdtx_reg_edid_get_sink_type(unsigned unit, unsigned *sink_type);
// The HDMI physical address (a.b.c.d as 0xABCD); HDTX_EDID_NO_ADDRESS for a DVI sink.
hdtx_err hdtx_reg_edid_get_source_address(unsigned unit, std::uint16_t *address);
hdtx_err hdtx_reg_edid_get_detailed_timing_descriptors(unsigned unit, hdtx_edid_dtd *list, unsigned max,
                                                       unsigned *count);
hdtx_err hdtx_reg_edid_get_monitor_descriptors(unsigned unit, hdtx_edid_monitor_descs *descs);
// Block 0 bytes 20 to 24.
hdtx_err hdtx_reg_edid_get_basic_display_param(unsigned unit, std::array<std::uint8_t, 5> *params);
// The first detailed timing; *found false (and a zeroed record) when the EDID has none.
hdtx_err hdtx_reg_edid_get_video_preferred(unsigned unit, hdtx_edid_dtd *timing, bool *found);
// Latencies of the HDMI vendor block; presence flags false without one.
hdtx_err hdtx_reg_edid_get_latency_info(unsigned unit, hdtx_edid_latency *latency);
// The HDMI video fields of the HDMI vendor block; hdmi_video_present false without them.
hdtx_err hdtx_reg_edid_get_extra_vsdb_data(unsigned unit, hdtx_edid_extra_vsdb *extra);
