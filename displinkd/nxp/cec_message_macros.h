// Preprocessor machinery that turns the rows of cec_messages.def into function declarations and
// bodies. A row names its operands as (kind, name) pairs; each kind has a parameter form and an
// encoding into the transmit frame:
//   u8     one byte
//   u16    two bytes, high first (physical addresses, frequencies)
//   u24    three bytes, high first (vendor identifiers); larger values are refused
//   u32    four bytes, high first (channel identifiers)
//   bytes  a pointer and a length, for the variable-length tails (names, vendor data)
//   dsi    the seven bytes of a digital service identification
//   lang   the three bytes of a language code (ISO 639-2)
//   fixed  a constant byte that the function itself supplies; the pair's second member is the value
// Only hdcec_messages.h and the file that defines the family include this header.
#pragma once

// Applies `macro` to each parenthesised pair that follows it. The rescans bound the number of
// pairs a row may have well above the fifteen operand bytes a frame holds.
#define HDCEC_PARENS ()
#define HDCEC_EXPAND(...) HDCEC_EXPAND3(HDCEC_EXPAND3(HDCEC_EXPAND3(HDCEC_EXPAND3(__VA_ARGS__))))
#define HDCEC_EXPAND3(...) HDCEC_EXPAND2(HDCEC_EXPAND2(HDCEC_EXPAND2(HDCEC_EXPAND2(__VA_ARGS__))))
#define HDCEC_EXPAND2(...) HDCEC_EXPAND1(HDCEC_EXPAND1(HDCEC_EXPAND1(HDCEC_EXPAND1(__VA_ARGS__))))
#define HDCEC_EXPAND1(...) __VA_ARGS__
#define HDCEC_FOR_EACH(macro, ...) __VA_OPT__(HDCEC_EXPAND(HDCEC_FOR_EACH_STEP(macro, __VA_ARGS__)))
#define HDCEC_FOR_EACH_STEP(macro, pair, ...)                                                                \
  macro pair __VA_OPT__(HDCEC_FOR_EACH_AGAIN HDCEC_PARENS(macro, __VA_ARGS__))
#define HDCEC_FOR_EACH_AGAIN() HDCEC_FOR_EACH_STEP

// Parameters a row's function takes after the instance: the destination for directed messages,
// then one or two per operand.
#define HDCEC_DEST_PARAM_DIRECT , std::uint8_t destination
#define HDCEC_DEST_PARAM_BROADCAST
#define HDCEC_DEST_ARG_DIRECT destination
#define HDCEC_DEST_ARG_BROADCAST HDCEC_BROADCAST

#define HDCEC_PARAM(kind, name) HDCEC_PARAM_##kind(name)
#define HDCEC_PARAM_u8(name) , std::uint8_t name
#define HDCEC_PARAM_u16(name) , std::uint16_t name
#define HDCEC_PARAM_u24(name) , std::uint32_t name
#define HDCEC_PARAM_u32(name) , std::uint32_t name
#define HDCEC_PARAM_bytes(name) , const std::uint8_t *name, std::uint8_t name##_length
#define HDCEC_PARAM_dsi(name) , const hdcec_digital_service_id &name
#define HDCEC_PARAM_lang(name) , const hdcec_language &name
#define HDCEC_PARAM_fixed(value)

// The whole parameter list of a row's function.
#define HDCEC_PARAMS(dest, ...)                                                                              \
  unsigned instance HDCEC_DEST_PARAM_##dest HDCEC_FOR_EACH(HDCEC_PARAM, __VA_ARGS__)

// Encoding into a cec_payload named `payload` (cec_unit.h).
#define HDCEC_PUT(kind, name) HDCEC_PUT_##kind(name);
#define HDCEC_PUT_u8(name) payload.put_u8(name)
#define HDCEC_PUT_u16(name) payload.put_u16(name)
#define HDCEC_PUT_u24(name) payload.put_u24(name)
#define HDCEC_PUT_u32(name) payload.put_u32(name)
#define HDCEC_PUT_bytes(name) payload.put_bytes(name, name##_length)
#define HDCEC_PUT_dsi(name) payload.put_bytes(name.data(), static_cast<std::uint8_t>(name.size()))
#define HDCEC_PUT_lang(name) payload.put_bytes(name.data(), static_cast<std::uint8_t>(name.size()))
#define HDCEC_PUT_fixed(value) payload.put_u8(value)
