// Inside of the CEC library: its configuration record, the one unit's record, the frame builder
// and the register access that every cec_*.cc file shares. Only the library's own files include
// this header.
#pragma once

#include "hdcec.h"

#include <array>
#include <cstddef>
#include <cstdint>

// One unit's configuration. The task fields are kept for the record: the library runs in its
// caller's thread and starts no task of its own.
struct hdcec_config {
  unsigned command_task_priority;
  unsigned stack_size;
  unsigned queue_size;
  std::uint8_t i2c_address;
  hdtx_i2c_func read;
  hdtx_i2c_func write;
  void *data;
};

inline constexpr unsigned HDCEC_UNITS = 1;
extern const hdcec_config hdcec_config_table[HDCEC_UNITS];

// Copies the configuration of `unit` into `config`.
hdcec_err hdcec_cfg_get_config(unsigned unit, hdcec_config *config);

// Registers of the CEC core.
enum : std::uint8_t {
  CEC_REG_CONTROL = 0x03,
  CEC_REG_ADDRESS_MASK = 0x04, // 16 bits, high byte first, one bit per logical address accepted
  CEC_REG_RETRY = 0x06,
  CEC_REG_FRAME = 0x07, // transmit buffer on write, receive buffer on read
  CEC_REG_EVENT = 0xEE, // bit 0: an event waits in the receive buffer
  CEC_REG_CAL_ENABLE = 0xF2,
  CEC_REG_CAL_A = 0xF3,
  CEC_REG_CAL_B = 0xF4,
  CEC_REG_CAL_C = 0xF5,
  CEC_REG_CLOCK = 0xF6,
  CEC_REG_ENABLE = 0xFF,
};

// Receive buffer: size, status, header, opcode, 15 operands.
inline constexpr std::size_t CEC_BUFFER_SIZE = 19;
inline constexpr std::size_t CEC_MAX_OPERANDS = 15;
inline constexpr std::uint8_t CEC_STATUS_TX_RESULT = 0x01;
inline constexpr std::uint8_t CEC_STATUS_RECEIVED = 0x81;

enum : unsigned { CEC_NOT_SET_UP = 0, CEC_SET_UP = 3 };

// A whole frame as it was written, so that the transmit result can report it.
struct hdcec_last_sent_message {
  std::uint8_t size; // 0 until a frame went out
  std::uint8_t header;
  std::uint8_t opcode;
  bool has_operands;
  std::array<std::uint8_t, CEC_MAX_OPERANDS> operands;
};

struct hdcec_unit {
  bool opened;
  std::uint8_t logical_address;
  unsigned state;
  hdcec_callback_func callback;
  hdcec_config config;
  hdcec_last_sent_message last_sent;
};

// The unit of an opened instance: 0 and *out set, HDCEC_ERR_BAD_INSTANCE or HDCEC_ERR_NOT_OPEN.
hdcec_err cec_check_instance(unsigned instance, hdcec_unit **out);
// The unit record whatever its state.
hdcec_unit &cec_unit_record();

// Register access: HDCEC_ERR_I2C_READ / HDCEC_ERR_I2C_WRITE when the adapter fails.
hdcec_err cec_read(hdcec_unit &u, std::uint8_t reg, std::uint8_t *data, std::uint8_t count);
hdcec_err cec_write(hdcec_unit &u, std::uint8_t reg, const std::uint8_t *data, std::uint8_t count);
hdcec_err cec_read_register(hdcec_unit &u, std::uint8_t reg, std::uint8_t *value);
hdcec_err cec_write_register(hdcec_unit &u, std::uint8_t reg, std::uint8_t value);

// The wait in force (the one given to hdcec_set_wait_function, or a sleep).
hdcec_err cec_wait(std::uint16_t ms);

// Operands of one frame as a message function encodes them. Overflow and null data are noted
// rather than acted on, so that the encoders stay expressions and the send reports the fault.
class cec_payload {
public:
  void put_u8(unsigned v) { put(static_cast<std::uint8_t>(v)); }
  void put_u16(unsigned v) {
    put(static_cast<std::uint8_t>(v >> 8));
    put(static_cast<std::uint8_t>(v));
  }
  void put_u24(std::uint32_t v) {
    if (v > 0xFFFFFFu)
      bad_value_ = true;
    put(static_cast<std::uint8_t>(v >> 16));
    put_u16(v & 0xFFFFu);
  }
  void put_u32(std::uint32_t v) {
    put_u16(v >> 16);
    put_u16(v & 0xFFFFu);
  }
  void put_bytes(const std::uint8_t *data, std::uint8_t length) {
    if (length > 0 && data == nullptr) {
      null_ = true;
      return;
    }
    for (std::uint8_t i = 0; i < length; ++i)
      put(data[i]);
  }

  const std::uint8_t *data() const { return bytes_.data(); }
  std::size_t size() const { return count_; }
  // 0, HDCEC_ERR_NULL_ARGUMENT or HDCEC_ERR_BAD_PARAMETER.
  hdcec_err error() const;

private:
  void put(std::uint8_t b) {
    if (count_ < bytes_.size())
      bytes_[count_] = b;
    ++count_;
  }

  std::array<std::uint8_t, CEC_MAX_OPERANDS> bytes_{};
  std::size_t count_ = 0;
  bool null_ = false;
  bool bad_value_ = false;
};

// Builds the frame for `opcode` (HDCEC_NO_OPCODE: header only) and `payload`, writes it from the
// frame register in one transfer and keeps it as the last sent message.
hdcec_err cec_send(unsigned instance, std::uint8_t destination, unsigned opcode, const cec_payload &payload);
