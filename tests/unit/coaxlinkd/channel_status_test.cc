#include "coaxlinkd/fpga.h"

#include <gtest/gtest.h>

namespace {

TEST(channel_status, first_block_is_the_known_one) {
  const aes3_block expected{0x85, 0x08, 0x2C, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                            0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0x6E};
  EXPECT_EQ(aes3_channel_status(0), expected);
}

TEST(channel_status, second_block_carries_channel_1_and_its_own_crc) {
  aes3_block b = aes3_channel_status(1);
  EXPECT_EQ(b[3], 0x01);
  EXPECT_EQ(b[23], 0x88);
  aes3_block first = aes3_channel_status(0);
  for (std::size_t i = 0; i < 23; ++i) {
    if (i != 3) {
      EXPECT_EQ(b[i], first[i]) << "byte " << i;
    }
  }
}

TEST(channel_status, crc_changes_with_every_byte) {
  aes3_block base = aes3_channel_status(0);
  for (std::size_t i = 0; i < 23; ++i) {
    aes3_block b = base;
    b[i] = static_cast<std::uint8_t>(b[i] ^ 0x10);
    EXPECT_NE(aes3_crcc(b), base[23]) << "byte " << i;
  }
  // Byte 23 itself is not covered.
  aes3_block b = base;
  b[23] = 0;
  EXPECT_EQ(aes3_crcc(b), 0x6E);
}

TEST(channel_status, table_word_layout) {
  EXPECT_EQ(sdi_table_word(16, 0x85), 0x8510u);
  EXPECT_EQ(sdi_table_word(63, 0x6E), 0x6E3Fu);
  EXPECT_EQ(sdi_table_word(40, 0xFF), 0xFF28u);
  // The index has six bits; nothing spills into the byte.
  EXPECT_EQ(sdi_table_word(64 + 5, 0x01), 0x0105u);
}

} // namespace
