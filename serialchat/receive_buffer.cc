#include "receive_buffer.h"

#include <algorithm>
#include <cstring>

namespace serialchat {

void receive_buffer::added(std::size_t n) { fill_ = std::min(fill_ + n, bytes_.size()); }

std::optional<std::size_t> receive_buffer::find(std::span<const std::uint8_t> expected,
                                                std::span<const std::uint8_t> mask) const {
  const std::size_t len = expected.size();
  if (len == 0 || len > fill_ || mask.size() < len)
    return std::nullopt;
  for (std::size_t i = 0; i + len <= fill_; ++i) {
    bool match = true;
    for (std::size_t k = 0; k < len && match; ++k)
      match = (bytes_[i + k] & mask[k]) == (expected[k] & mask[k]);
    if (match)
      return i;
  }
  return std::nullopt;
}

void receive_buffer::consume(std::size_t n) {
  n = std::min(n, fill_);
  std::memmove(bytes_.data(), bytes_.data() + n, fill_ - n);
  fill_ -= n;
}

} // namespace serialchat
