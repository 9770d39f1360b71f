// The transmitter's register layer: the chip's paged register file behind 16-bit register
// specifiers, its life cycle, power states, interrupt handling, state machine and EDID reading.
// Every function takes a unit number (0 or 1) and returns an error code.
#pragma once

#include "hdtx_types.h"

#include <cstddef>
#include <cstdint>

enum : hdtx_err {
  HDTX_REG_ERR_COMPATIBILITY = 0x88240001u,
  HDTX_REG_ERR_BAD_UNIT = 0x88240005u,
  HDTX_REG_ERR_BAD_PARAMETER = 0x88240009u,
  HDTX_REG_ERR_NOT_ALLOWED = 0x8824000Cu,
  HDTX_REG_ERR_RANGE = 0x88240010u,
  HDTX_REG_ERR_NOT_INITIALIZED = 0x88240011u,
  HDTX_REG_ERR_NOT_SUPPORTED = 0x88240013u,
  HDTX_REG_ERR_INITIALIZED = 0x88240014u,
  HDTX_REG_ERR_I2C_READ = 0x88240017u,
  HDTX_REG_ERR_I2C_WRITE = 0x88240018u,
  HDTX_REG_ERR_NO_SINK = 0x88240067u,
  HDTX_REG_ERR_NOT_HDMI = 0x88240068u,
};

inline constexpr unsigned HDTX_REG_UNITS = 2;
inline constexpr unsigned HDTX_REG_CALLBACKS = 13;

// Interrupt causes, the index of their handler in the callback table.
enum hdtx_reg_cause : unsigned {
  HDTX_CAUSE_HOT_PLUG = 1,    // hot-plug level changed
  HDTX_CAUSE_SOFTWARE = 2,    // page 0 register 0x0F bit 2
  HDTX_CAUSE_EXTENDED = 8,    // page 0 register 0x10 bit 6
  HDTX_CAUSE_RX_SENSE = 9,    // receiver-sense level changed
  HDTX_CAUSE_EDID_BLOCK = 10, // page 0 register 0x11 bit 1; reaches its callback once the whole EDID is in
  HDTX_CAUSE_CEC = 12,        // page 0 register 0x10 bit 0, called through its own path
};

// State-machine events (set_state) and states.
enum hdtx_reg_event : unsigned {
  HDTX_EV_DEINIT = 0,
  HDTX_EV_INIT = 1,
  HDTX_EV_POWER_ON = 2,
  HDTX_EV_LOW_POWER = 3,
  HDTX_EV_HOT_PLUG_REMOVED = 5,
  HDTX_EV_HOT_PLUG_DETECTED = 6,
  HDTX_EV_EDID_COMPLETE = 9,
  HDTX_EV_VIDEO_CONFIGURED = 10,
  HDTX_EV_VIDEO_OFF = 11,
  HDTX_EV_RX_SENSE_ACTIVE = 20,
  HDTX_EV_RX_SENSE_INACTIVE = 21,
};

enum hdtx_reg_state : unsigned {
  HDTX_ST_NOT_INITIALIZED = 0,
  HDTX_ST_INITIALIZED = 1,
  HDTX_ST_LOW_POWER = 2,
  HDTX_ST_ON_NO_SINK = 3,
  HDTX_ST_SINK_EDID_PENDING = 4,
  HDTX_ST_RX_ACTIVE = 5,
  HDTX_ST_VIDEO_CONFIGURED = 6,
  HDTX_ST_EDID_READ = 11,
  HDTX_ST_FINAL = 12,
};

// Power states: 0 on, 1 and 2 low-power states, 3 off.
enum hdtx_power_state : unsigned { HDTX_POWER_ON = 0, HDTX_POWER_STANDBY = 1, HDTX_POWER_SUSPEND = 2, HDTX_POWER_OFF = 3 };

// Supported chip versions (page 0 register 0x02 as high byte, register 0x00 without bits 4-5).
inline constexpr std::uint16_t HDTX_VERSION_N1 = 0x0101;
inline constexpr std::uint16_t HDTX_VERSION_N2 = 0x0201;
inline constexpr std::uint16_t HDTX_VERSION_N3 = 0x0202;
inline constexpr std::uint16_t HDTX_VERSION_N4 = 0x0301;

// Sink types.
enum hdtx_sink_type : unsigned { HDTX_SINK_DVI = 0, HDTX_SINK_HDMI = 1 };

// Life cycle.
hdtx_err hdtx_reg_init(unsigned unit, std::uint8_t i2c_address, hdtx_i2c_func write, hdtx_i2c_func read,
                       hdtx_wait_func wait, const hdtx_reg_callback *callbacks, unsigned callback_count,
                       unsigned video_format, unsigned pixel_rate);
hdtx_err hdtx_reg_deinit(unsigned unit);
hdtx_err hdtx_reg_reset(unsigned unit);
hdtx_err hdtx_reg_hw_startup(unsigned unit);
hdtx_err hdtx_reg_hw_get_version(unsigned unit, std::uint16_t *version);
hdtx_err hdtx_reg_hw_get_capabilities(unsigned unit, std::uint8_t *features);
// Reads `count` registers of page `page` (the page number, not its index) starting at `reg`.
hdtx_err hdtx_reg_hw_get_registers(unsigned unit, std::uint8_t page, std::uint8_t reg, std::uint8_t *data,
                                   std::uint8_t count);
hdtx_err hdtx_reg_sys_timer_wait(unsigned unit, std::uint16_t ms);

// Power and detection.
hdtx_err hdtx_reg_power_set_state(unsigned unit, unsigned state);
hdtx_err hdtx_reg_power_get_state(unsigned unit, unsigned *state);
hdtx_err hdtx_reg_hot_plug_get_status(unsigned unit, bool *plugged);
hdtx_err hdtx_reg_rx_sense_get_status(unsigned unit, bool *active);
hdtx_err hdtx_reg_hw_handle_interrupt(unsigned unit);
// Enables or disables the register layer's interrupt handling (the device library asks first).
hdtx_err hdtx_reg_set_interrupt_handling(unsigned unit, bool enabled);
hdtx_err hdtx_reg_get_interrupt_handling(unsigned unit, bool *enabled);

// State machine, for the device library and tests.
hdtx_err hdtx_reg_get_state(unsigned unit, unsigned *state, std::uint32_t *ignored_events);

// Sink type as learnt from the EDID (DVI until an HDMI vendor block is seen); the packet family
// refuses with HDTX_REG_ERR_NOT_HDMI unless it is HDMI.
hdtx_err hdtx_reg_get_sink_type(unsigned unit, unsigned *sink_type);
hdtx_err hdtx_reg_set_sink_type(unsigned unit, unsigned sink_type);
