// The CEC library: the transmitter's CEC core (its own I2C device) set up with a logical address,
// calibrated, sending one message per CEC opcode and delivering received frames to the
// application. It has no thread and no lock: everything runs in the caller's thread, and callers
// must not overlap.
#pragma once

#include "hdtx_types.h"

#include <cstdint>

using hdcec_err = std::uint32_t;

enum : hdcec_err {
  HDCEC_ERR_BAD_UNIT = 0x8823F005u,
  HDCEC_ERR_BAD_INSTANCE = 0x8823F006u,
  HDCEC_ERR_BAD_PARAMETER = 0x8823F009u,
  HDCEC_ERR_ALREADY_OPEN = 0x8823F00Eu,
  HDCEC_ERR_NOT_OPEN = 0x8823F00Fu,
  HDCEC_ERR_NULL_ARGUMENT = 0x8823F010u,
  HDCEC_ERR_NO_CONFIGURATION = 0x8823F014u,
  HDCEC_ERR_I2C_READ = 0x8823F017u,
  HDCEC_ERR_I2C_WRITE = 0x8823F018u,
  HDCEC_ERR_WRONG_STATE = 0x8823F066u,
};

inline constexpr std::uint8_t HDCEC_BROADCAST = 15;

// Events handed to the application callback.
enum hdcec_event : unsigned { HDCEC_EVENT_RECEIVED = 0, HDCEC_EVENT_TX_STATUS = 1 };

// A frame as the application sees it: size as the core reported it, header (initiator << 4 |
// destination), opcode, operands (size - 4 of them, at most 15). For a transmit result the
// operands hold what was sent and `status` the core's result byte.
struct hdcec_frame {
  std::uint8_t size;
  std::uint8_t header;
  std::uint8_t opcode;
  std::uint8_t operands[15];
  std::uint8_t status;
};

using hdcec_callback_func = void (*)(unsigned event, const hdcec_frame *frame);

// Set-up words: the logical address, and a flag that keeps the core's clock setting when 1.
struct hdcec_setup_info {
  std::uint32_t logical_address;
  std::uint32_t keep_clock;
};

// Power states.
enum hdcec_power_state : unsigned { HDCEC_POWER_ON = 0, HDCEC_POWER_STANDBY = 1 };

// The library's millisecond wait (the pauses of the set-up). Null restores the default, a sleep
// of the calling thread; tests hand in one that returns at once.
void hdcec_set_wait_function(hdtx_wait_func wait);

hdcec_err hdcec_open(unsigned *instance);
hdcec_err hdcec_close(unsigned instance);
hdcec_err hdcec_instance_setup(unsigned instance, const hdcec_setup_info *setup);
hdcec_err hdcec_set_power_state(unsigned instance, unsigned state);
hdcec_err hdcec_register_callbacks(unsigned instance, hdcec_callback_func callback);
hdcec_err hdcec_set_initiator_address(unsigned instance, std::uint8_t address);
hdcec_err hdcec_set_register(unsigned instance, std::uint8_t reg, std::uint8_t value);
hdcec_err hdcec_enable_calibration(unsigned instance, unsigned enable);
hdcec_err hdcec_disable_calibration(unsigned instance);
hdcec_err hdcec_handle_interrupt(unsigned instance);

// The messages the daemon sends; the whole family, one function per opcode, is in
// hdcec_messages.h.
hdcec_err hdcec_report_physical_address(unsigned instance, std::uint16_t physical_address, std::uint8_t device_type);
hdcec_err hdcec_active_source(unsigned instance, std::uint16_t physical_address);
hdcec_err hdcec_version(unsigned instance, std::uint8_t destination, std::uint8_t cec_version);
hdcec_err hdcec_set_osd_name(unsigned instance, std::uint8_t destination, const std::uint8_t *name,
                             std::uint8_t length);
hdcec_err hdcec_report_power_status(unsigned instance, std::uint8_t destination, std::uint8_t power_status);
hdcec_err hdcec_device_vendor_id(unsigned instance, std::uint32_t vendor_id);
hdcec_err hdcec_feature_abort(unsigned instance, std::uint8_t destination, std::uint8_t opcode,
                              std::uint8_t reason);
