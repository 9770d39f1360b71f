// The register layer's interrupt handler fed arbitrary register answers: every read after the
// unit is up takes its bytes from the input, so flags, levels and EDID blocks are whatever the
// fuzzer makes them. Between interrupts the input also picks EDID requests (with raw buffers of
// varying capacity), power states and failing writes.
#include "reg_unit.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const std::uint8_t *input = nullptr;
std::size_t remaining = 0;
bool starting = true;
bool writes_fail = false;

hdtx_err fuzz_write(hdtx_i2c_msg *) { return writes_fail ? HDTX_I2C_ADAPTER_FAILED : HDTX_OK; }

hdtx_err fuzz_read(hdtx_i2c_msg *msg) {
  if (starting) {
    // Just enough of a chip to come up: a supported version, every other register 0.
    std::memset(msg->data, 0, msg->len_data);
    if (msg->slave_addr == 0x70 && msg->first_register == 0x00)
      msg->data[0] = 0x01;
    if (msg->slave_addr == 0x70 && msg->first_register == 0x02)
      msg->data[0] = 0x03;
    return HDTX_OK;
  }
  if (remaining == 0)
    return HDTX_I2C_ADAPTER_FAILED;
  std::size_t n = msg->len_data < remaining ? msg->len_data : remaining;
  std::memcpy(msg->data, input, n);
  std::memset(msg->data + n, 0, msg->len_data - n);
  input += n;
  remaining -= n;
  return HDTX_OK;
}

hdtx_err no_wait(std::uint16_t) { return HDTX_OK; }

void ignore(unsigned) {}
const hdtx_reg_callback callbacks[HDTX_REG_CALLBACKS] = {ignore, ignore, ignore, ignore, ignore, ignore, ignore,
                                                         ignore, ignore, ignore, ignore, ignore, ignore};

std::uint8_t take() {
  std::uint8_t b = *input;
  ++input;
  --remaining;
  return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  starting = true;
  writes_fail = false;
  if (hdtx_reg_init(0, 0x70, fuzz_write, fuzz_read, no_wait, callbacks, HDTX_REG_CALLBACKS, 16, 1) != HDTX_OK)
    __builtin_trap();
  starting = false;
  input = data;
  remaining = size;
  std::vector<std::uint8_t> raw(4 * 128);
  unsigned passes = 0;
  while (remaining > 0 && passes++ < 256) {
    std::uint8_t op = take();
    switch (op & 0x03u) {
    case 0:
      hdtx_reg_hw_handle_interrupt(0);
      break;
    case 1: {
      unsigned blocks = (op >> 2) & 0x07u; // 0 to 7 against a buffer of 4 blocks
      hdtx_reg_unit *u = unit_record(0);
      u->hot_plug_level = 1;
      if (op & 0x20u)
        hdtx_reg_edid_request_block_data(0, raw.data(), blocks, static_cast<unsigned>(raw.size()));
      else
        hdtx_reg_edid_request_block_data(0, nullptr, 0, 0);
      break;
    }
    case 2:
      hdtx_reg_power_set_state(0, (op >> 2) & 0x03u);
      break;
    default:
      writes_fail = (op & 0x04u) != 0;
      break;
    }
    // Whatever happened, the unit's bookkeeping stays within its bounds.
    const hdtx_reg_unit *u = unit_record(0);
    if (u->edid.dtd_count > HDTX_EDID_MAX_DTD || u->edid.svd_count > HDTX_EDID_MAX_SVD ||
        u->edid.sad_count > HDTX_EDID_MAX_SAD)
      __builtin_trap();
  }
  hdtx_reg_deinit(0);
  return 0;
}
