// Feeds arbitrary lines to the instruction parser, and the data parsers on their own, the way
// the program does: at most one line buffer of text, line end stripped.
#include "instruction.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace serialchat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  std::string_view line = strip_line_end(input.substr(0, line_buffer_size - 1));

  instruction ins;
  if (parse_instruction(line, ins) == parse_status::ok) {
    if (ins.length > data_capacity)
      std::abort();
    if (ins.kind == instruction_kind::read && ins.read_timeout != (ins.length == 0))
      std::abort();
    if (ins.kind == instruction_kind::send && ins.length == 0)
      std::abort();
  }

  // The data parsers also take text longer than a line, into small outputs.
  std::array<std::uint8_t, 4> small{};
  if (auto n = parse_hex_bytes(input, small); n && (*n == 0 || *n > small.size()))
    std::abort();
  std::string_view rest;
  if (auto n = parse_quoted_text(input, small, &rest); n && (*n == 0 || *n > small.size()))
    std::abort();
  return 0;
}
