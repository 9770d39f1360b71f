// Counts the programs keep in 64 bits meet a 32-bit size_t on the target: a window or request
// list larger than the address space must be refused, never allocated at a truncated size and
// then indexed with the full count.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "rx_request.h"
#include "rx_window.h"

namespace {

TEST(Size, WindowAndRequestListBeyondTheAddressSpaceAreRefused) {
  // One more element than the address space holds: on the 32-bit target new[] would take such a
  // count modulo 2^32 and hand back a small block that the full count then indexes.
  const std::uint64_t too_many_slots = std::numeric_limits<std::size_t>::max() / sizeof(rx_slot) + 1;
  const std::uint64_t too_many_missing = std::numeric_limits<std::size_t>::max() / sizeof(rx_missing) + 1;
  rx_window w;
  EXPECT_FALSE(rx_window_init(&w, too_many_slots));
  rx_requests r;
  EXPECT_FALSE(rx_requests_init(&r, too_many_missing, 7));
  if constexpr (sizeof(std::size_t) < 8) {
    // 2^32 + 1 slots round up to 2^33; cut to 32 bits that would be an empty allocation.
    EXPECT_FALSE(rx_window_init(&w, (std::uint64_t{1} << 32) + 1));
  }
  // Sizes that fit still work.
  EXPECT_TRUE(rx_window_init(&w, 1000));
  EXPECT_EQ(w.capacity, 1024u);
  EXPECT_TRUE(rx_requests_init(&r, 1024, 7));
}

} // namespace
