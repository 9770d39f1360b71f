// Register access of the register layer: page selection with its cache, shadow copies of
// registers the chip cannot read back, field writes and field tables, and the CEC core's flat
// registers. Every access goes through the unit's I2C functions.
#include "reg_unit.h"

#include <cstring>

namespace {

hdtx_reg_unit units[HDTX_REG_UNITS];

// Reads of these always reach the chip: the written value is an enable mask, the read value
// the pending flags.
bool always_read_from_chip(std::uint16_t spec) {
  return spec == REG_INT_FLAGS_0 || spec == REG_INT_FLAGS_1 || spec == REG_INT_FLAGS_2;
}

bool shadowed(std::uint16_t spec) { return spec_shadow(spec) < HDTX_NO_SHADOW; }

hdtx_err i2c_write(hdtx_reg_unit *u, std::uint8_t slave, std::uint8_t reg, const std::uint8_t *data,
                   std::uint8_t count) {
  // The adapters take a non-const pointer; a write never changes the bytes.
  hdtx_i2c_msg msg{slave, reg, count, const_cast<std::uint8_t *>(data)};
  return u->write(&msg) == HDTX_OK ? HDTX_OK : HDTX_REG_ERR_I2C_WRITE;
}

hdtx_err i2c_read(hdtx_reg_unit *u, std::uint8_t slave, std::uint8_t reg, std::uint8_t *data, std::uint8_t count) {
  hdtx_i2c_msg msg{slave, reg, count, data};
  return u->read(&msg) == HDTX_OK ? HDTX_OK : HDTX_REG_ERR_I2C_READ;
}

std::uint8_t cec_address(const hdtx_reg_unit *u) { return static_cast<std::uint8_t>(u->i2c_address ^ 0x44u); }

} // namespace

std::uint8_t page_index_to_page(unsigned page_index) {
  static constexpr std::uint8_t pages[8] = {0x00, 0x01, 0x02, 0x09, 0x10, 0x11, 0x12, 0x13};
  return pages[page_index & 7u];
}

hdtx_reg_unit *unit_record(unsigned unit) { return unit < HDTX_REG_UNITS ? &units[unit] : nullptr; }

hdtx_err check_unit(unsigned unit, hdtx_reg_unit **out) {
  if (unit >= HDTX_REG_UNITS)
    return HDTX_REG_ERR_BAD_UNIT;
  if (!units[unit].initialised)
    return HDTX_REG_ERR_NOT_INITIALIZED;
  *out = &units[unit];
  return HDTX_OK;
}

hdtx_err set_page(hdtx_reg_unit *u, std::uint16_t spec) {
  std::uint8_t page = page_index_to_page(spec_page_index(spec));
  if (page == u->current_page)
    return HDTX_OK;
  hdtx_err err = i2c_write(u, u->i2c_address, REG_CURPAGE, &page, 1);
  // Only a page the chip has taken is cached: after a failure the next access selects again.
  if (err == HDTX_OK)
    u->current_page = page;
  return err;
}

hdtx_err set_hw_register(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t value) {
  hdtx_err err = set_page(u, spec);
  if (err != HDTX_OK)
    return err;
  if (shadowed(spec))
    u->shadow[spec_shadow(spec)] = value;
  return i2c_write(u, u->i2c_address, spec_register(spec), &value, 1);
}

hdtx_err get_hw_register(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t *value) {
  hdtx_err err = set_page(u, spec);
  if (err != HDTX_OK)
    return err;
  if (shadowed(spec) && !always_read_from_chip(spec)) {
    *value = u->shadow[spec_shadow(spec)];
    return HDTX_OK;
  }
  return i2c_read(u, u->i2c_address, spec_register(spec), value, 1);
}

hdtx_err set_hw_register_field(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t mask, std::uint8_t value) {
  std::uint8_t old = 0;
  if (shadowed(spec)) {
    old = u->shadow[spec_shadow(spec)];
  } else {
    hdtx_err err = set_page(u, spec);
    if (err == HDTX_OK)
      err = i2c_read(u, u->i2c_address, spec_register(spec), &old, 1);
    if (err != HDTX_OK)
      return err;
  }
  unsigned shift = 0;
  const unsigned bits = mask;
  if (bits != 0) {
    while (((bits >> shift) & 1u) == 0)
      ++shift;
  }
  auto updated = static_cast<std::uint8_t>(((unsigned{value} << shift) & bits) | (unsigned{old} & ~bits & 0xFFu));
  return set_hw_register(u, spec, updated);
}

hdtx_err set_hw_register_field_table(hdtx_reg_unit *u, const hdtx_reg_field *table) {
  for (; table->spec != 0; ++table) {
    hdtx_err err = set_hw_register_field(u, table->spec, table->mask, table->value);
    if (err != HDTX_OK)
      return err;
  }
  return HDTX_OK;
}

hdtx_err get_hw_registers(hdtx_reg_unit *u, std::uint16_t spec, std::uint8_t *data, std::uint8_t count) {
  hdtx_err err = set_page(u, spec);
  if (err != HDTX_OK)
    return err;
  return i2c_read(u, u->i2c_address, spec_register(spec), data, count);
}

hdtx_err set_hw_registers(hdtx_reg_unit *u, std::uint16_t spec, const std::uint8_t *data, std::uint8_t count) {
  hdtx_err err = set_page(u, spec);
  if (err != HDTX_OK)
    return err;
  return i2c_write(u, u->i2c_address, spec_register(spec), data, count);
}

hdtx_err set_hw_register_msb_lsb(hdtx_reg_unit *u, std::uint16_t spec, std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFFu)};
  return set_hw_registers(u, spec, bytes, 2);
}

hdtx_err get_cec_hw_register(hdtx_reg_unit *u, std::uint8_t reg, std::uint8_t *value) {
  return i2c_read(u, cec_address(u), reg, value, 1);
}

hdtx_err set_cec_hw_register(hdtx_reg_unit *u, std::uint8_t reg, std::uint8_t value) {
  return i2c_write(u, cec_address(u), reg, &value, 1);
}

void copy_bytes(const std::uint8_t *from, std::uint8_t *to, unsigned count) {
  if (count != 0)
    std::memcpy(to, from, count);
}

void fill_bytes(std::uint8_t *to, std::uint8_t value, unsigned count) {
  if (count != 0)
    std::memset(to, value, count);
}
