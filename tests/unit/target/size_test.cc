// Counts the programs keep in 64 bits meet a 32-bit size_t on the target: a window or request
// list larger than the address space must be refused, never allocated at a truncated size and
// then indexed with the full count.
#include <gtest/gtest.h>

#include <cstdint>

#include "rx_request.h"
#include "rx_window.h"

namespace {

TEST(Size, WindowAndRequestListBeyondTheAddressSpaceAreRefused) {
  if constexpr (sizeof(std::size_t) >= 8) {
    GTEST_SKIP()
        << "only a 32-bit size_t can be outgrown by such a count without the allocator failing first";
  } else {
    // 2^32 + 1 slots round up to 2^33; cut to 32 bits that would be an empty allocation.
    const std::uint64_t too_many = (std::uint64_t{1} << 32) + 1;
    rx_window w;
    EXPECT_FALSE(rx_window_init(&w, too_many));
    rx_requests r;
    EXPECT_FALSE(rx_requests_init(&r, too_many, 7));
    // Sizes that fit still work.
    EXPECT_TRUE(rx_window_init(&w, 1000));
    EXPECT_EQ(w.capacity, 1024u);
    EXPECT_TRUE(rx_requests_init(&r, 1024, 7));
  }
}

} // namespace
