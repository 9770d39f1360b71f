// Building and writing one transmit frame, and remembering it for the transmit result.
#include "cec_unit.h"
#include "hdcec_messages.h"

#include <algorithm>

hdcec_err cec_payload::error() const {
  if (null_)
    return HDCEC_ERR_NULL_ARGUMENT;
  if (bad_value_ || count_ > bytes_.size())
    return HDCEC_ERR_BAD_PARAMETER;
  return 0;
}

hdcec_err cec_send(unsigned instance, std::uint8_t destination, unsigned opcode, const cec_payload &payload) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  if (hdcec_err err = payload.error())
    return err;
  if (destination > HDCEC_BROADCAST)
    return HDCEC_ERR_BAD_PARAMETER;

  std::array<std::uint8_t, CEC_BUFFER_SIZE> frame{};
  std::size_t n = 0;
  frame[n++] = 0; // size, known at the end
  frame[n++] = 0; // control
  const auto header = static_cast<std::uint8_t>(((u->logical_address & 0x0Fu) << 4) | destination);
  frame[n++] = header;
  if (opcode != HDCEC_NO_OPCODE) {
    frame[n++] = static_cast<std::uint8_t>(opcode);
    std::copy_n(payload.data(), payload.size(), frame.begin() + static_cast<std::ptrdiff_t>(n));
    n += payload.size();
  }
  frame[0] = static_cast<std::uint8_t>(n);
  if (hdcec_err err = cec_write(*u, CEC_REG_FRAME, frame.data(), frame[0]))
    return err;

  hdcec_last_sent_message &last = u->last_sent;
  last = hdcec_last_sent_message{};
  last.size = frame[0];
  last.header = header;
  last.opcode = opcode != HDCEC_NO_OPCODE ? static_cast<std::uint8_t>(opcode) : 0;
  last.has_operands = payload.size() > 0;
  std::copy_n(payload.data(), payload.size(), last.operands.begin());
  return 0;
}
