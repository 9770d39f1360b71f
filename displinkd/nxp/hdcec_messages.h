// The CEC message family: one function per message of the HDMI CEC standard, all declared from the
// rows of cec_messages.def. Every function needs an opened instance, writes one frame (size,
// control 0, header own address << 4 | destination, opcode, operands) to the CEC core and, when
// the write went through, keeps it as the last sent message for the transmit result. Directed
// messages take the destination (0 to 15) after the instance; broadcasts go to 15. A frame holds
// at most 15 operand bytes: longer operand lists are refused with HDCEC_ERR_BAD_PARAMETER, as are
// destinations above 15 and vendor identifiers above 24 bits; a null pointer with a non-zero
// length is HDCEC_ERR_NULL_ARGUMENT.
#pragma once

#include "cec_message_macros.h"
#include "hdcec.h"

#include <array>
#include <cstdint>

// Digital Service Identification: service identification method and broadcast system, then the
// transport or channel identifiers, as the standard lays out the seven bytes.
using hdcec_digital_service_id = std::array<std::uint8_t, 7>;
// A language code of three lower-case ASCII letters (ISO 639-2).
using hdcec_language = std::array<std::uint8_t, 3>;

// The polling message's row has this in place of an opcode: it is sent as a header alone.
inline constexpr unsigned HDCEC_NO_OPCODE = 0x100;

#define HDCEC_MESSAGE(function, opcode, dest, ...) hdcec_err function(HDCEC_PARAMS(dest, __VA_ARGS__));
#include "cec_messages.def"
#undef HDCEC_MESSAGE
