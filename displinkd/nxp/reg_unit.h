// Inside of the register layer: the unit record, register specifiers and the register access
// family. Only the register layer's own files (and its tests) include this header.
#pragma once

#include "edid.h"
#include "hdtx_reg.h"

#include <cstdint>

// Register specifier: bits 15-11 shadow index (HDTX_NO_SHADOW = none), bits 10-8 page index,
// bits 7-0 register address.
inline constexpr unsigned HDTX_NO_SHADOW = 20;
inline constexpr unsigned HDTX_SHADOW_BYTES = 32;

constexpr std::uint16_t hdtx_spec(unsigned shadow, unsigned page_index, unsigned reg) {
  return static_cast<std::uint16_t>((shadow << 11) | (page_index << 8) | reg);
}
// An unshadowed register.
constexpr std::uint16_t hdtx_reg(unsigned page_index, unsigned reg) { return hdtx_spec(HDTX_NO_SHADOW, page_index, reg); }
constexpr unsigned spec_shadow(std::uint16_t spec) { return spec >> 11; }
constexpr unsigned spec_page_index(std::uint16_t spec) { return (spec >> 8) & 7u; }
constexpr std::uint8_t spec_register(std::uint16_t spec) { return static_cast<std::uint8_t>(spec & 0xFFu); }

// Page indexes of the specifier and the page numbers they select.
enum : unsigned { PI_00 = 0, PI_01 = 1, PI_02 = 2, PI_09 = 3, PI_10 = 4, PI_11 = 5, PI_12 = 6, PI_13 = 7 };
std::uint8_t page_index_to_page(unsigned page_index);

// The three interrupt registers: shadowed (their written value enables interrupts) but always
// read from the chip (the read gives the pending flags).
inline constexpr std::uint16_t REG_INT_FLAGS_0 = hdtx_spec(0, PI_00, 0x0F);
inline constexpr std::uint16_t REG_INT_FLAGS_1 = hdtx_spec(1, PI_00, 0x10);
inline constexpr std::uint16_t REG_INT_FLAGS_2 = hdtx_spec(2, PI_00, 0x11);

// The page register of the HDMI core, written without paging.
inline constexpr std::uint8_t REG_CURPAGE = 0xFF;
// The cached page before any page has been selected: no page number has this value.
inline constexpr std::uint8_t PAGE_UNKNOWN = 0xFE;

// One record of a field table; a table ends with a specifier of 0.
struct hdtx_reg_field {
  std::uint16_t spec;
  std::uint8_t mask;
  std::uint8_t value;
};

struct hdtx_reg_unit {
  bool initialised;
  unsigned state;
  std::uint32_t ignored_events;
  std::uint8_t i2c_address;
  hdtx_i2c_func write;
  hdtx_i2c_func read;
  hdtx_wait_func wait;
  hdtx_reg_callback callbacks[HDTX_REG_CALLBACKS];
  std::uint16_t version;
  std::uint8_t features;
  unsigned power_state;
  std::uint8_t current_page;
  std::uint8_t shadow[HDTX_SHADOW_BYTES];
  std::uint8_t hot_plug_level;  // 1 = sink plugged
  std::uint8_t rx_sense_level;  // 1 = receiver active
  bool interrupt_handling;      // the device library runs the handler only while set
  bool cause12_enabled;
  unsigned sink_type;
  unsigned video_format;
  unsigned pixel_rate;
  hdtx_edid_data edid;
};

// The unit record of a checked unit: 0 and *out set, or the error of check_unit.
hdtx_err check_unit(unsigned unit, hdtx_reg_unit **out);
// The record whatever its state (for initialisation); null for a unit number out of range.
hdtx_reg_unit *unit_record(unsigned unit);

// Register access family.
hdtx_err set_page(hdtx_reg_unit *u, std::uint16_t spec);
hdtx_err set_hw_register(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t value);
hdtx_err get_hw_register(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t *value);
hdtx_err set_hw_register_field(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t mask, std::uint8_t value);
hdtx_err set_hw_register_field_table(hdtx_reg_unit *u, const hdtx_reg_field *table);
hdtx_err get_hw_registers(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t *data, std::uint8_t count);
hdtx_err set_hw_registers(hdtx_reg_unit *u, std::uint16_t spec, const std::uint8_t *data, std::uint8_t count);
hdtx_err set_hw_register_msb_lsb(hdtx_reg_unit *u, std::uint16_t spec, std::uint16_t value);
hdtx_err get_cec_hw_register(hdtx_reg_unit *u, std::uint8_t reg, std::uint8_t *value);
hdtx_err set_cec_hw_register(hdtx_reg_unit *u, std::uint8_t reg, std::uint8_t value);
void copy_bytes(const std::uint8_t *from, std::uint8_t *to, unsigned count);
void fill_bytes(std::uint8_t *to, std::uint8_t value, unsigned count);

// State machine: applies `event`, or counts it as ignored.
void set_state(hdtx_reg_unit *u, unsigned event);
