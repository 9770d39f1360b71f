// The instruction language that drives serialchat: one line of standard input becomes one
// instruction (send bytes or text, expect bytes or text under a mask, expect silence, sleep).
// Owns the line classifier and the two data parsers; nothing here touches a descriptor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace serialchat {

// Lines are read into a buffer of this size, so an instruction has at most 255 characters.
inline constexpr std::size_t line_buffer_size = 256;
// Capacity of the data and mask of one instruction, and of the receive buffer.
inline constexpr std::size_t data_capacity = 256;

enum class instruction_kind { send, read, wait };

// How the data of an instruction is printed: hex pairs, or the bytes between double quotes.
enum class data_mode : int { bytes = 0, text = 1 };

struct instruction {
  instruction_kind kind = instruction_kind::send;
  data_mode mode = data_mode::bytes;
  std::array<std::uint8_t, data_capacity> data{};
  std::size_t length = 0;
  std::array<std::uint8_t, data_capacity> mask{};
  std::uint32_t time_ms = 0;
  // A read with no data: succeeds only if nothing is buffered or arrives before the deadline.
  bool read_timeout = false;

  std::span<const std::uint8_t> bytes() const { return {data.data(), length}; }
  std::span<const std::uint8_t> mask_bytes() const { return {mask.data(), length}; }
};

enum class parse_status {
  ok,      // `out` holds an instruction to carry out
  skip,    // comment or blank line
  error,   // not an instruction
};

// Converts pairs of hex digits to bytes, stopping at the first pair that is not two hex digits
// (so an odd last digit is ignored) or when `out` is full. Returns the byte count, or none when
// not even one byte results.
std::optional<std::size_t> parse_hex_bytes(std::string_view hex, std::span<std::uint8_t> out);

// Takes the text between the first double quote of `s` and the next double quote that is not
// preceded by a backslash; a backslash-quote pair yields a quote, other backslashes stay.
// Returns the text length, or none when the closing quote is missing, the text is empty or it
// does not fit into `out`. `rest` receives what follows the closing quote.
std::optional<std::size_t> parse_quoted_text(std::string_view s, std::span<std::uint8_t> out,
                                             std::string_view *rest = nullptr);

// Removes a trailing line feed, then a trailing carriage return.
std::string_view strip_line_end(std::string_view line);

// Classifies and parses one stripped line. On `error` the contents of `out` are unspecified.
parse_status parse_instruction(std::string_view line, instruction &out);

} // namespace serialchat
