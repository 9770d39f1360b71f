// Life cycle of a register-layer unit: initialisation with its parameter checks and the exact
// start-up sequence (CEC core enable, reset, version check, PLL set-up for the format class,
// interrupt enables), de-initialisation, reset and the version and capability reads.
#include "reg_init.h"

#include "reg_map.h"

#include <cstring>

namespace {

// PLL set-up, all on page 0x02 with full masks.
constexpr hdtx_reg_field pll_cfg_common[] = {
    {hdtx_reg(PI_02, 0x00), 0xFF, 0x00}, {hdtx_reg(PI_02, 0x01), 0xFF, 0x01}, {hdtx_reg(PI_02, 0x02), 0xFF, 0x00},
    {hdtx_reg(PI_02, 0x03), 0xFF, 0x00}, {hdtx_reg(PI_02, 0x04), 0xFF, 0x00}, {hdtx_reg(PI_02, 0x05), 0xFF, 0x00},
    {hdtx_reg(PI_02, 0x0E), 0xFF, 0x03}, {hdtx_reg(PI_02, 0x11), 0xFF, 0x09}, {0, 0, 0}};
constexpr hdtx_reg_field pll_cfg_vfmt_other[] = {{hdtx_reg(PI_02, 0x07), 0xFF, 0xFA},
                                                 {hdtx_reg(PI_02, 0x08), 0xFF, 0x00},
                                                 {hdtx_reg(PI_02, 0x09), 0xFF, 0x5B},
                                                 {hdtx_reg(PI_02, 0x0A), 0xFF, 0x00},
                                                 {0, 0, 0}};
constexpr hdtx_reg_field pll_cfg_vfmt_480i576i[] = {{hdtx_reg(PI_02, 0x07), 0xFF, 0x14},
                                                    {hdtx_reg(PI_02, 0x08), 0xFF, 0x00},
                                                    {hdtx_reg(PI_02, 0x09), 0xFF, 0x0A},
                                                    {hdtx_reg(PI_02, 0x0A), 0xFF, 0x00},
                                                    {0, 0, 0}};
constexpr hdtx_reg_field pll_cfg_double_prate_vfmt_other[] = {{hdtx_reg(PI_02, 0x06), 0xFF, 0x00}, {0, 0, 0}};
constexpr hdtx_reg_field pll_cfg_single_prate_vfmt_other[] = {{hdtx_reg(PI_02, 0x06), 0xFF, 0x10}, {0, 0, 0}};
constexpr hdtx_reg_field pll_cfg_single_prate_vfmt_480i576i[] = {{hdtx_reg(PI_02, 0x06), 0xFF, 0x11}, {0, 0, 0}};
constexpr hdtx_reg_field pll_cfg_srepeated_prate_vfmt_480i576i[] = {{hdtx_reg(PI_02, 0x06), 0xFF, 0x01}, {0, 0, 0}};

// PLACEHOLDER reset pulse (see reg_map.h).
constexpr hdtx_reg_field reset_assert[] = {{REG_SOFT_RESET, 0x03, 0x03}, {0, 0, 0}};
constexpr hdtx_reg_field reset_release[] = {{REG_SOFT_RESET, 0x03, 0x00}, {0, 0, 0}};
constexpr std::uint16_t RESET_HOLD_MS = 50;

constexpr std::uint16_t supported_versions[] = {HDTX_VERSION_N1, HDTX_VERSION_N2, HDTX_VERSION_N3, HDTX_VERSION_N4};

bool is_480i576i(unsigned format) { return format == 6 || format == 7 || format == 21 || format == 22; }

// The record a unit starts from.
hdtx_reg_unit unit_template() {
  hdtx_reg_unit u{};
  u.state = HDTX_ST_NOT_INITIALIZED;
  u.current_page = PAGE_UNKNOWN;
  u.power_state = HDTX_POWER_ON;
  u.sink_type = HDTX_SINK_DVI;
  u.interrupt_handling = true;
  u.edid.status = 4;
  return u;
}

hdtx_err read_version(hdtx_reg_unit *u) {
  std::uint8_t lsb = 0;
  std::uint8_t msb = 0;
  hdtx_err err = get_hw_register(u, REG_VERSION_LSB, &lsb);
  if (err == HDTX_OK)
    err = get_hw_register(u, REG_VERSION_MSB, &msb);
  if (err != HDTX_OK)
    return err;
  // Bits 4-5 of the low byte tell which features the part lacks, not its revision.
  u->version = static_cast<std::uint16_t>((unsigned{msb} << 8) | (unsigned{lsb} & 0xCFu));
  u->features = static_cast<std::uint8_t>((unsigned{lsb} >> 4) & 0x03u);
  return HDTX_OK;
}

bool version_supported(std::uint16_t version) {
  for (std::uint16_t v : supported_versions) {
    if (v == version)
      return true;
  }
  return false;
}

// CEC core: enable the HDMI core's clock and interrupts through the CEC core's control byte.
hdtx_err enable_cores(hdtx_reg_unit *u) {
  hdtx_err err = set_cec_hw_register(u, CEC_REG_ENABLE, 0x40);
  std::uint8_t value = 0;
  if (err == HDTX_OK)
    err = get_cec_hw_register(u, CEC_REG_ENABLE, &value);
  if (err == HDTX_OK)
    err = set_cec_hw_register(u, CEC_REG_ENABLE, static_cast<std::uint8_t>((value & 0xBFu) | 0x06u));
  return err;
}

} // namespace

hdtx_err reg_set_pll(hdtx_reg_unit *u, unsigned format, unsigned pixel_rate) {
  hdtx_err err = HDTX_OK;
  if (is_480i576i(format)) {
    err = set_hw_register_field_table(u, pll_cfg_vfmt_480i576i);
    if (err != HDTX_OK)
      return err;
    if (pixel_rate == 1)
      return set_hw_register_field_table(u, pll_cfg_single_prate_vfmt_480i576i);
    if (pixel_rate == 2)
      return set_hw_register_field_table(u, pll_cfg_srepeated_prate_vfmt_480i576i);
    return HDTX_REG_ERR_RANGE;
  }
  err = set_hw_register_field_table(u, pll_cfg_vfmt_other);
  if (err != HDTX_OK)
    return err;
  if (pixel_rate == 0)
    return set_hw_register_field_table(u, pll_cfg_double_prate_vfmt_other);
  if (pixel_rate == 1)
    return set_hw_register_field_table(u, pll_cfg_single_prate_vfmt_other);
  return HDTX_REG_ERR_RANGE;
}

hdtx_err reg_configure(hdtx_reg_unit *u) {
  hdtx_err err = set_hw_register(u, REG_PLL_SERIAL_12, 9);
  if (err == HDTX_OK)
    err = set_hw_register_field_table(u, pll_cfg_common);
  if (err == HDTX_OK)
    err = set_hw_register_field(u, REG_INIT_24, 0x20, 0);
  if (err != HDTX_OK)
    return err;

  err = reg_set_pll(u, u->video_format, u->pixel_rate);
  if (err != HDTX_OK)
    return err;

  err = set_hw_register(u, REG_INIT_0B, 0);
  if (err == HDTX_OK)
    err = set_hw_register(u, REG_INIT_9A, 0x27);
  if (err == HDTX_OK && u->version == HDTX_VERSION_N2)
    err = set_hw_register_field(u, REG_INIT_0D, 0x01, 0);
  if (err == HDTX_OK)
    err = set_hw_register(u, REG_INT_FLAGS_1, 0x40);
  if (err == HDTX_OK)
    err = set_hw_register(u, REG_INT_FLAGS_2, 0x02);
  return err;
}

hdtx_err hdtx_reg_init(unsigned unit, std::uint8_t i2c_address, hdtx_i2c_func write, hdtx_i2c_func read,
                       hdtx_wait_func wait, const hdtx_reg_callback *callbacks, unsigned callback_count,
                       unsigned video_format, unsigned pixel_rate) {
  hdtx_reg_unit *u = unit_record(unit);
  if (u == nullptr)
    return HDTX_REG_ERR_BAD_UNIT;
  if (u->initialised)
    return HDTX_REG_ERR_INITIALIZED;
  if (i2c_address < 1 || write == nullptr || read == nullptr || video_format < 1 || video_format > 62 ||
      pixel_rate >= 4 || callback_count > HDTX_REG_CALLBACKS || (callback_count > 0 && callbacks == nullptr))
    return HDTX_REG_ERR_BAD_PARAMETER;

  *u = unit_template();
  u->i2c_address = i2c_address;
  u->write = write;
  u->read = read;
  u->wait = wait;
  for (unsigned i = 0; i < callback_count; ++i)
    u->callbacks[i] = callbacks[i];
  u->video_format = video_format;
  u->pixel_rate = pixel_rate;
  u->initialised = true;

  hdtx_err err = enable_cores(u);
  if (err == HDTX_OK)
    err = hdtx_reg_reset(unit);
  if (err == HDTX_OK)
    err = read_version(u);
  if (err == HDTX_OK && (u->version == 0 || !version_supported(u->version)))
    err = HDTX_REG_ERR_COMPATIBILITY;
  if (err == HDTX_OK)
    err = reg_configure(u);
  if (err != HDTX_OK) {
    // A half-initialised unit would refuse the next attempt as "already initialised".
    hdtx_reg_deinit(unit);
    return err;
  }
  set_state(u, HDTX_EV_INIT);
  return HDTX_OK;
}

hdtx_err hdtx_reg_deinit(unsigned unit) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  set_state(u, HDTX_EV_DEINIT);
  *u = unit_template();
  return HDTX_OK;
}

hdtx_err hdtx_reg_reset(unsigned unit) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  err = set_hw_register_field_table(u, reset_assert);
  if (err != HDTX_OK)
    return err;
  if (u->wait != nullptr)
    u->wait(RESET_HOLD_MS);
  return set_hw_register_field_table(u, reset_release);
}

hdtx_err hdtx_reg_hw_startup(unsigned unit) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  return enable_cores(u);
}

hdtx_err hdtx_reg_hw_get_version(unsigned unit, std::uint16_t *version) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (version == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *version = u->version;
  return HDTX_OK;
}

hdtx_err hdtx_reg_hw_get_capabilities(unsigned unit, std::uint8_t *features) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (features == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *features = u->features;
  return HDTX_OK;
}

hdtx_err hdtx_reg_hw_get_registers(unsigned unit, std::uint8_t page, std::uint8_t reg, std::uint8_t *data,
                                   std::uint8_t count) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (data == nullptr || count == 0 || reg + count > 0x100)
    return HDTX_REG_ERR_BAD_PARAMETER;
  for (unsigned index = 0; index < 8; ++index) {
    if (page_index_to_page(index) == page)
      return get_hw_registers(u, hdtx_reg(index, reg), data, count);
  }
  return HDTX_REG_ERR_BAD_PARAMETER;
}

hdtx_err hdtx_reg_sys_timer_wait(unsigned unit, std::uint16_t ms) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  return u->wait != nullptr ? u->wait(ms) : HDTX_OK;
}
