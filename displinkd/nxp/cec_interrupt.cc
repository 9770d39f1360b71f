// The CEC core's interrupt: a received frame or the result of a transmission waits in the receive
// buffer. Frames go to the application after the addressing rules; an Abort is answered here.
#include "cec_unit.h"
#include "hdcec_messages.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t OPCODE_ABORT = 0xFF;
constexpr std::uint8_t ABORT_REASON_REFUSED = 4;
// Size, status, header and opcode: anything shorter carries no message.
constexpr std::uint8_t MIN_FRAME_SIZE = 4;

// Messages the standard only ever broadcasts; a directed copy is not genuine.
constexpr std::array<std::uint8_t, 9> broadcast_only = {0x32, 0x80, 0x81, 0x82, 0x84, 0x85, 0x86, 0x87, 0xF8};

bool is_broadcast_only(std::uint8_t opcode) {
  return std::find(broadcast_only.begin(), broadcast_only.end(), opcode) != broadcast_only.end();
}

void deliver(const hdcec_unit &u, unsigned event, const hdcec_frame &frame) {
  if (u.callback != nullptr)
    u.callback(event, &frame);
}

void report_transmit(const hdcec_unit &u, std::uint8_t result) {
  const hdcec_last_sent_message &last = u.last_sent;
  hdcec_frame frame{};
  frame.size = last.size;
  frame.header = last.header;
  frame.opcode = last.opcode;
  std::copy(last.operands.begin(), last.operands.end(), frame.operands);
  frame.status = result;
  deliver(u, HDCEC_EVENT_TX_STATUS, frame);
}

// Answers an Abort with Feature Abort "refused", sent from the address the Abort was sent to.
hdcec_err refuse_abort(unsigned instance, hdcec_unit &u, std::uint8_t initiator, std::uint8_t destination) {
  const std::uint8_t own = u.logical_address;
  u.logical_address = destination;
  hdcec_err err = hdcec_feature_abort(instance, initiator, OPCODE_ABORT, ABORT_REASON_REFUSED);
  u.logical_address = own;
  return err;
}

hdcec_err handle_received(unsigned instance, hdcec_unit &u,
                          const std::array<std::uint8_t, CEC_BUFFER_SIZE> &buffer) {
  // The size byte comes from the bus side of the core: never trust it beyond the buffer.
  const std::uint8_t size = std::min<std::uint8_t>(buffer[0], static_cast<std::uint8_t>(CEC_BUFFER_SIZE));
  if (size < MIN_FRAME_SIZE)
    return 0;
  hdcec_frame frame{};
  frame.size = size;
  frame.header = buffer[2];
  frame.opcode = buffer[3];
  std::copy(buffer.begin() + MIN_FRAME_SIZE, buffer.begin() + size, frame.operands);
  frame.status = buffer[1];

  const auto initiator = static_cast<std::uint8_t>(frame.header >> 4);
  const auto destination = static_cast<std::uint8_t>(frame.header & 0x0Fu);
  if (frame.opcode == OPCODE_ABORT) {
    if (destination == HDCEC_BROADCAST || initiator == HDCEC_BROADCAST)
      return 0;
    return refuse_abort(instance, u, initiator, destination);
  }
  if (is_broadcast_only(frame.opcode) && destination != HDCEC_BROADCAST)
    return 0;
  deliver(u, HDCEC_EVENT_RECEIVED, frame);
  return 0;
}

} // namespace

hdcec_err hdcec_handle_interrupt(unsigned instance) {
  hdcec_unit *u = nullptr;
  if (hdcec_err err = cec_check_instance(instance, &u))
    return err;
  std::uint8_t event = 0;
  if (hdcec_err err = cec_read_register(*u, CEC_REG_EVENT, &event))
    return err;
  if ((event & 0x01u) == 0)
    return 0;
  std::array<std::uint8_t, CEC_BUFFER_SIZE> buffer{};
  if (hdcec_err err = cec_read(*u, CEC_REG_FRAME, buffer.data(), static_cast<std::uint8_t>(buffer.size())))
    return err;
  switch (buffer[1]) {
  case CEC_STATUS_TX_RESULT:
    report_transmit(*u, buffer[2]);
    return 0;
  case CEC_STATUS_RECEIVED:
    return handle_received(instance, *u, buffer);
  default:
    return 0;
  }
}
