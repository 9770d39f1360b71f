// The receive buffer: masked search, offsets, and what stays after a match.
#include "receive_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace serialchat;

namespace {

void feed(receive_buffer &rx, std::vector<std::uint8_t> bytes) {
  auto space = rx.free_space();
  std::size_t n = std::min(space.size(), bytes.size());
  std::copy_n(bytes.begin(), n, space.begin());
  rx.added(n);
}

using bytes = std::vector<std::uint8_t>;

} // namespace

TEST(ReceiveBuffer, MaskedCompareIgnoresMaskedOutBits) {
  receive_buffer rx;
  feed(rx, {0x90, 0x4F, 0xFF});
  bytes expected{0x90, 0x40, 0xFF};
  EXPECT_EQ(rx.find(expected, bytes{0xFF, 0xF0, 0xFF}), 0u);
  EXPECT_EQ(rx.find(expected, bytes{0xFF, 0xFF, 0xFF}), std::nullopt);
}

TEST(ReceiveBuffer, FindsTheFirstMatchAndKeepsWhatFollows) {
  receive_buffer rx;
  feed(rx, {0x01, 0x02, 0x90, 0x40, 0xFF, 0x90, 0x40, 0xFF, 0x33});
  bytes expected{0x90, 0x40, 0xFF};
  auto at = rx.find(expected, bytes(3, 0xFF));
  ASSERT_EQ(at, 2u);
  rx.consume(*at + expected.size());
  EXPECT_EQ(bytes(rx.contents().begin(), rx.contents().end()), (bytes{0x90, 0x40, 0xFF, 0x33}));
  EXPECT_EQ(rx.find(expected, bytes(3, 0xFF)), 0u);
}

TEST(ReceiveBuffer, MatchAtTheVeryEndAndTooFewBytes) {
  receive_buffer rx;
  feed(rx, {0x00, 0xAA, 0xBB});
  EXPECT_EQ(rx.find(bytes{0xAA, 0xBB}, bytes(2, 0xFF)), 1u);
  EXPECT_EQ(rx.find(bytes{0x00, 0xAA, 0xBB, 0xCC}, bytes(4, 0xFF)), std::nullopt);
  EXPECT_EQ(rx.find(bytes{}, bytes{}), std::nullopt);
}

TEST(ReceiveBuffer, HoldsAtMostItsCapacity) {
  receive_buffer rx;
  feed(rx, bytes(300, 0x55));
  EXPECT_TRUE(rx.full());
  EXPECT_EQ(rx.size(), data_capacity);
  EXPECT_TRUE(rx.free_space().empty());
  rx.consume(1000);
  EXPECT_TRUE(rx.empty());
}
