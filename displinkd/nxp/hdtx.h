// The transmitter's device library: the one transmitter instance the daemon drives, its command
// thread that does the interrupt work, the application events and the operations the output
// policy calls. Every operation takes the instance number (only 0 exists), runs under the
// module semaphore and returns an error code (0 success).
#pragma once

#include "edid.h"
#include "hdtx_reg_av.h"
#include "hdtx_types.h"

#include <array>
#include <cstdint>

enum : hdtx_err {
  HDTX_ERR_BAD_UNIT = 0x88241005u,
  HDTX_ERR_BAD_INSTANCE = 0x88241006u,
  HDTX_ERR_BAD_OS_OBJECT = 0x88241007u,
  HDTX_ERR_BAD_PARAMETER = 0x88241009u,
  HDTX_ERR_NO_RESOURCES = 0x8824100Cu,
  HDTX_ERR_ALREADY_OPEN = 0x8824100Eu,
  HDTX_ERR_NOT_OPEN = 0x8824100Fu,
  HDTX_ERR_NULL_ARGUMENT = 0x88241010u,
  HDTX_ERR_NOT_SUPPORTED = 0x88241013u,
  HDTX_ERR_NO_CONFIGURATION = 0x88241014u,
  HDTX_ERR_QUEUE_FULL = 0x88241021u,
  HDTX_ERR_THREAD_CREATION = 0x88241023u,
  HDTX_ERR_TASK_STARTED = 0x88241024u,
  HDTX_ERR_UNKNOWN_FORMAT = 0x8824105Cu,
  HDTX_ERR_WRONG_STATE = 0x88241066u,
  HDTX_ERR_SEMAPHORE = 0x88241074u,
};

// Instance states.
enum hdtx_instance_state : unsigned {
  HDTX_STATE_CLOSED = 0,
  HDTX_STATE_OPENED = 1,
  HDTX_STATE_SET_UP = 2,
  HDTX_STATE_EDID_AVAILABLE = 4,
};

// Application events, all disabled until hdtx_enable_event.
enum hdtx_event : unsigned {
  HDTX_EVENT_0 = 0,
  HDTX_EVENT_1 = 1,
  HDTX_HPD_ACTIVE = 2,
  HDTX_HPD_INACTIVE = 3,
  HDTX_EVENT_4 = 4,
  HDTX_RX_DEVICE_ACTIVE = 5,
  HDTX_RX_DEVICE_INACTIVE = 6,
  HDTX_EDID_RECEIVED = 7,
  HDTX_EVENT_CAUSE_12 = 8,
};
inline constexpr unsigned HDTX_EVENT_COUNT = 9;

// Runs on the command thread with the module semaphore released, so it may call the library.
using hdtx_callback_func = void (*)(unsigned event);

// The four set-up words. A null EDID buffer has the EDID parsed without a raw copy.
struct hdtx_setup_info {
  std::uint32_t option_a;
  std::uint32_t option_b;
  std::uint8_t *edid_buffer;
  std::uint32_t edid_buffer_size; // bytes
};

// The five words of the video input.
struct hdtx_video_in_config {
  unsigned format;       // CEA-861 code
  unsigned mode;         // hdtx_vin_mode
  unsigned sync_source;  // 0 embedded, 1 external
  unsigned pixel_rate;   // hdtx_pixel_rate
  unsigned structure_3d; // 0 none
};

// The four words of the video output.
struct hdtx_video_out_config {
  unsigned format;       // CEA-861 code
  unsigned colour_space; // hdtx_colour_space
  unsigned colour_depth; // 0: 24 bits per pixel
  unsigned quantization; // 0: default range
};

// The fourteen fields of the audio input.
struct hdtx_audio_in_config {
  unsigned format; // 0 SPDIF, 1 I2S, 2 one-bit audio, 3 DST, 4 high bit rate
  unsigned rate;   // 0 to 6: 32, 44.1, 48, 88.2, 96, 176.4, 192 kHz
  std::uint8_t i2s_format;
  std::uint8_t i2s_qualifier;
  unsigned dst_rate;
  std::uint8_t channel_allocation;
  hdtx_aud_chan_status channel_status;
};

// One row of the resolution table.
struct hdtx_video_format_specs {
  std::uint8_t code;
  std::uint16_t width;
  std::uint16_t height;
  bool interlaced;
  std::uint8_t field_rate; // 0 24 Hz, 1 25 Hz, 2 30 Hz, 3 50 Hz, 4 59.94 Hz, 5 60 Hz
  std::uint8_t aspect;     // 3 4:3, 6 16:9
};

// Sink type argument of hdtx_set_input_output that has the library take it from the EDID.
inline constexpr unsigned HDTX_SINK_FROM_EDID = 2;

// The 41 video formats the library knows, in CEA-861 code order (1 to 38, then 60 to 62).
inline constexpr unsigned HDTX_RESOLUTION_COUNT = 41;
extern const std::array<hdtx_video_format_specs, HDTX_RESOLUTION_COUNT> hdtx_resolution_table;

// Empty entry of a video port mapping table.
inline constexpr std::uint16_t HDTX_PORT_UNUSED = 256;

// How one input mode's video ports are set up: for each of the six internal positions, the
// input port it takes (swap) and whether that port's bits are mirrored; the enable and ground
// masks of the six ports (two per byte, a nibble each); the port multiplexing.
struct hdtx_video_port_config {
  std::uint8_t swap[6];
  std::uint8_t mirror[6];
  std::uint8_t enable[3];
  std::uint8_t ground[3];
  std::uint8_t mux;
};

// Audio and audio-clock port enables of one audio input layout.
struct hdtx_audio_port_config {
  std::uint8_t audio;
  std::uint8_t clock;
};

// The configuration table of a unit, copied into the instance at open.
struct hdtx_config {
  unsigned task_priority;
  unsigned task_stack_size;
  unsigned queue_size;
  std::uint8_t i2c_address;
  std::uint8_t cec_address;
  hdtx_i2c_func i2c_read;
  hdtx_i2c_func i2c_write;
  const hdtx_video_format_specs *resolutions;
  unsigned resolution_count;
  hdtx_video_port_config video_ports[5]; // by input mode (hdtx_vin_mode)
  hdtx_audio_port_config audio_spdif;
  hdtx_audio_port_config audio_i2s;              // stereo
  hdtx_audio_port_config audio_i2s_multichannel; // channel allocation other than 0
  hdtx_audio_port_config audio_one_bit;
  hdtx_audio_port_config audio_dst;
  hdtx_audio_port_config audio_hbr;
};

// Copies unit `unit`'s configuration (only unit 0 has one: HDTX_ERR_BAD_UNIT otherwise).
hdtx_err hdtx_get_config(unsigned unit, hdtx_config *config);
// The port set-up that a mapping table (six entries: low 7 bits the port, bit 7 mirror,
// HDTX_PORT_UNUSED empty) and a multiplexing value give.
hdtx_video_port_config hdtx_video_port_config_from(const std::array<std::uint16_t, 6> &mapping,
                                                   std::uint8_t mux);

hdtx_err hdtx_open(unsigned *instance);
hdtx_err hdtx_close(unsigned instance);
hdtx_err hdtx_instance_setup(unsigned instance, const hdtx_setup_info *setup);
hdtx_err hdtx_register_callbacks(unsigned instance, hdtx_callback_func callback);
hdtx_err hdtx_enable_event(unsigned instance, unsigned event);
// Queues the interrupt for the command thread and stops watching the line until it is done.
hdtx_err hdtx_handle_interrupt(unsigned instance);
hdtx_err hdtx_set_power_state(unsigned instance, unsigned state);
hdtx_err hdtx_set_input_output(unsigned instance, const hdtx_video_in_config *video_in,
                               const hdtx_video_out_config *video_out, const hdtx_audio_in_config *audio_in,
                               unsigned sink_type);
hdtx_err hdtx_set_audio_input(unsigned instance, const hdtx_audio_in_config *audio_in, unsigned sink_type);

hdtx_err hdtx_get_video_format_specs(unsigned instance, unsigned code, hdtx_video_format_specs *specs);

// EDID getters; all but the status need the EDID-available state.
hdtx_err hdtx_get_edid_status(unsigned instance, std::uint8_t *status, unsigned *blocks);
hdtx_err hdtx_get_edid_video_caps(unsigned instance, hdtx_video_cap *list, unsigned max, unsigned *count,
                                  std::uint8_t *flags);
hdtx_err hdtx_get_edid_sink_type(unsigned instance, unsigned *sink_type);
hdtx_err hdtx_get_edid_source_address(unsigned instance, std::uint16_t *address);
hdtx_err hdtx_convert_dtd_to_cea(unsigned instance, const hdtx_edid_dtd *dtd, std::uint8_t *code);

hdtx_err hdtx_set_test_pattern_on(unsigned instance, unsigned pattern);
hdtx_err hdtx_set_test_pattern_off(unsigned instance);

// The instance state; tests and the policy's diagnostics.
hdtx_err hdtx_get_instance_state(unsigned instance, unsigned *state);
