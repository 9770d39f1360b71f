// The receive buffer of serialchat: bytes read from the port wait here until a read instruction
// matches them. A timeout never drops bytes; a match removes everything up to its end.
#pragma once

#include "instruction.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace serialchat {

class receive_buffer {
public:
  std::span<const std::uint8_t> contents() const { return {bytes_.data(), fill_}; }
  std::size_t size() const { return fill_; }
  bool empty() const { return fill_ == 0; }
  bool full() const { return fill_ == bytes_.size(); }

  // Where the next read from the port may put its bytes; `added` then counts them in.
  std::span<std::uint8_t> free_space() { return {bytes_.data() + fill_, bytes_.size() - fill_}; }
  void added(std::size_t n);

  // First offset at which every expected byte equals the buffered one under its mask.
  std::optional<std::size_t> find(std::span<const std::uint8_t> expected,
                                  std::span<const std::uint8_t> mask) const;

  // Removes the first n bytes (all of them when n exceeds the fill).
  void consume(std::size_t n);

private:
  std::array<std::uint8_t, data_capacity> bytes_{};
  std::size_t fill_ = 0;
};

} // namespace serialchat
