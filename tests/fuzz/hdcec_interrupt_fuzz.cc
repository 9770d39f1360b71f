// The CEC library's received-frame path fed arbitrary core answers: after the set-up every read
// (event register and receive buffer) takes its bytes from the input, so sizes, statuses, headers
// and opcodes are whatever the fuzzer makes them. Between interrupts the input also sends
// messages (the transmit result then reports them), changes the initiator address and makes
// writes fail, which the Abort answer must survive.
#include "hdcec_messages.h"
#include "i2c.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

const std::uint8_t *input = nullptr;
std::size_t remaining = 0;
bool starting = true;
bool writes_fail = false;

std::uint8_t take() {
  if (remaining == 0)
    return 0;
  std::uint8_t b = *input;
  ++input;
  --remaining;
  return b;
}

void check_frame(unsigned event, const hdcec_frame *frame) {
  if (event > HDCEC_EVENT_TX_STATUS || frame == nullptr || frame->size > 19)
    __builtin_trap();
  // Every operand the size promises must be readable.
  unsigned sum = 0;
  for (unsigned i = 4; i < frame->size; ++i)
    sum += frame->operands[i - 4];
  static_cast<void>(sum);
}

} // namespace

hdtx_err displinkd_i2c_write_adapter(hdtx_i2c_msg *) {
  return writes_fail ? HDTX_I2C_ADAPTER_FAILED : HDTX_OK;
}

hdtx_err displinkd_i2c_read_adapter(hdtx_i2c_msg *msg) {
  if (starting) {
    std::memset(msg->data, 0, msg->len_data);
    return HDTX_OK;
  }
  if (remaining == 0)
    return HDTX_I2C_ADAPTER_FAILED;
  for (std::uint8_t i = 0; i < msg->len_data; ++i)
    msg->data[i] = take();
  return HDTX_OK;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  hdcec_set_wait_function([](std::uint16_t) -> hdtx_err { return HDTX_OK; });
  starting = true;
  writes_fail = false;
  unsigned instance = 0;
  const hdcec_setup_info setup{1, 1};
  if (hdcec_open(&instance) != 0 || hdcec_register_callbacks(instance, check_frame) != 0 ||
      hdcec_instance_setup(instance, &setup) != 0)
    __builtin_trap();
  starting = false;
  input = data;
  remaining = size;
  unsigned passes = 0;
  while (remaining > 0 && passes++ < 256) {
    std::uint8_t op = take();
    switch (op & 0x03u) {
    case 0:
      hdcec_handle_interrupt(instance);
      break;
    case 1: {
      std::uint8_t name[20];
      const auto length = static_cast<std::uint8_t>((op >> 2) & 0x1Fu); // 0 to 31 against 15 that fit
      for (std::uint8_t i = 0; i < sizeof name; ++i)
        name[i] = i;
      hdcec_set_osd_name(instance, static_cast<std::uint8_t>(op >> 4), name,
                         length < sizeof name ? length : 0);
      break;
    }
    case 2:
      hdcec_set_initiator_address(instance, static_cast<std::uint8_t>(op >> 2));
      break;
    default:
      writes_fail = (op & 0x04u) != 0;
      break;
    }
  }
  hdcec_close(instance);
  return 0;
}
