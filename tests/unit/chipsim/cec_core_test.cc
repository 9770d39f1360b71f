// The CEC core of the chip model: hot-plug levels and flags, receive and transmit buffers, the
// event queue behind an unread buffer, and the model under concurrent use.
#include "chip_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using chipsim::cec_core_address;
using chipsim::Chip;
using chipsim::hdmi_core_address;
using chipsim_test::get;
using chipsim_test::put;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t C = cec_core_address;

TEST(ChipCec, HotPlugLevelsAndChangeFlags) {
  Chip chip;
  std::atomic<unsigned> hooked{0};
  chip.set_interrupt_hook([&] { ++hooked; });

  chip.plug(Bytes(128, 0));
  EXPECT_EQ(get(chip, C, 0xFD, 2), (Bytes{0x03, 0x03}));
  EXPECT_EQ(get(chip, C, 0xFD, 1), Bytes{0x00}) << "flags are read to clear";
  chip.set_rx_sense(false);
  EXPECT_EQ(get(chip, C, 0xFD, 2), (Bytes{0x01, 0x02}));
  chip.set_rx_sense(false);
  chip.plug(Bytes(128, 0), false);
  EXPECT_EQ(get(chip, C, 0xFD, 1), Bytes{0x00}) << "no change, no flag";
  chip.unplug();
  EXPECT_EQ(get(chip, C, 0xFD, 2), (Bytes{0x02, 0x00}));
  EXPECT_EQ(chip.interrupt_count(), 3u);
  EXPECT_EQ(hooked.load(), 3u);

  ASSERT_EQ(put(chip, C, 0xFD, {0xFF, 0xFF}), HDTX_OK);
  EXPECT_EQ(chip.cec_reg(0xFE), 0x00) << "levels are not writable from the bus";
  EXPECT_EQ(chip.cec_reg(0xFD), 0x00);
  ASSERT_EQ(put(chip, C, 0xFF, {0x40}), HDTX_OK);
  EXPECT_EQ(get(chip, C, 0xFF, 1), Bytes{0x40}) << "no paging in the CEC core";
  EXPECT_EQ(chip.hdmi_reg(0x00, 0xFF), 0x00);
}

TEST(ChipCec, ReceivedFramesQueueBehindAnUnreadOne) {
  Chip chip;
  chip.cec_receive({0x04, 0x36});
  chip.cec_receive({0x0F, 0x82, 0x10, 0x00});
  EXPECT_EQ(chip.interrupt_count(), 1u) << "the second frame waits";
  EXPECT_EQ(get(chip, C, 0xEE, 1), Bytes{0x01});
  EXPECT_EQ(get(chip, C, 0xEE, 1), Bytes{0x00});

  Bytes want(19, 0);
  want[0] = 4, want[1] = 0x81, want[2] = 0x04, want[3] = 0x36;
  EXPECT_EQ(get(chip, C, 0x07, 19), want);
  EXPECT_EQ(chip.interrupt_count(), 2u);
  EXPECT_EQ(get(chip, C, 0xEE, 1), Bytes{0x01});
  Bytes second = get(chip, C, 0x07, 19);
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 6), (Bytes{6, 0x81, 0x0F, 0x82, 0x10, 0x00}));
  EXPECT_EQ(second[6], 0) << "the rest of the buffer is cleared";
  EXPECT_EQ(get(chip, C, 0x07, 19), second) << "reading again gives the same, no new event";
  EXPECT_EQ(chip.interrupt_count(), 2u);

  Bytes polling(20, 0xAB); // longer than the core holds
  polling[0] = 0x40;
  chip.cec_receive(polling);
  Bytes got = get(chip, C, 0x07, 19);
  EXPECT_EQ(got[0], 19);
  EXPECT_EQ(got[2], 0x40);
  EXPECT_EQ(got[18], 0xAB);
}

struct TransmitCase {
  const char *name;
  Bytes write; // written from register 0x07
  bool sent;
  Bytes frame; // recorded header, opcode, operands
};

TEST(ChipCec, TransmitBuffer) {
  const TransmitCase cases[] = {
      {"report physical address", {7, 0, 0x4F, 0x84, 0x10, 0x00, 0x04}, true, {0x4F, 0x84, 0x10, 0x00, 0x04}},
      {"polling message", {3, 0, 0x44}, true, {0x44}},
      {"size byte disagrees", {6, 0, 0x4F, 0x84, 0x10, 0x00, 0x04}, false, {}},
      {"too short", {2, 0}, false, {}},
      {"longer than the buffer",
       Bytes{20, 0, 0x40, 0x47, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       false,
       {}},
  };
  for (const TransmitCase &c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip;
    ASSERT_EQ(put(chip, C, 0x07, c.write), HDTX_OK);
    if (!c.sent) {
      EXPECT_TRUE(chip.cec_sent().empty());
      EXPECT_EQ(chip.interrupt_count(), 0u);
      EXPECT_EQ(chip.cec_reg(0xEE), 0x00);
      continue;
    }
    ASSERT_EQ(chip.cec_sent().size(), 1u);
    EXPECT_EQ(chip.cec_sent()[0], c.frame);
    EXPECT_EQ(chip.interrupt_count(), 1u);
    EXPECT_EQ(get(chip, C, 0xEE, 1), Bytes{0x01});
    Bytes result = get(chip, C, 0x07, 4);
    EXPECT_EQ(result, (Bytes{4, 0x01, 0x00, 0x00}));
  }

  Chip nack;
  nack.set_cec_ack(false);
  ASSERT_EQ(put(nack, C, 0x07, {3, 0, 0x40}), HDTX_OK);
  EXPECT_EQ(get(nack, C, 0x07, 4), (Bytes{4, 0x01, 0x01, 0x00}));

  // A write not starting at the buffer's first register is plain data, and a failed one is not sent.
  Chip other;
  ASSERT_EQ(put(other, C, 0x06, {5, 4, 0, 0x40, 0x36}), HDTX_OK);
  other.set_fail([](const chipsim::Transfer &t) { return t.write && t.reg == 0x07; });
  EXPECT_EQ(put(other, C, 0x07, {4, 0, 0x40, 0x36}), HDTX_I2C_ADAPTER_FAILED);
  EXPECT_TRUE(other.cec_sent().empty());
  EXPECT_EQ(other.cec_reg(0x06), 5);
}

TEST(ChipCec, TransmitResultDoesNotOverwriteAnUnreadFrame) {
  Chip chip;
  chip.cec_receive({0x04, 0x8F});
  ASSERT_EQ(put(chip, C, 0x07, {4, 0, 0x40, 0x90}), HDTX_OK);
  EXPECT_EQ(get(chip, C, 0x07, 4), (Bytes{4, 0x81, 0x04, 0x8F}));
  EXPECT_EQ(get(chip, C, 0x07, 4), (Bytes{4, 0x01, 0x00, 0x00}));
  EXPECT_EQ(chip.interrupt_count(), 2u);
}

// Two threads drive both cores while a third injects events; every operation must keep its
// effect. Meaningful mostly under ThreadSanitizer.
TEST(ChipCec, ConcurrentUse) {
  Chip chip;
  std::atomic<unsigned> hooked{0};
  chip.set_interrupt_hook([&] { ++hooked; });
  constexpr int rounds = 500;
  std::atomic<int> failures{0};
  std::thread hdmi([&] {
    for (int i = 0; i < rounds; ++i) {
      auto v = static_cast<std::uint8_t>(i);
      if (put(chip, hdmi_core_address, 0xFF, {0x12}) != HDTX_OK ||
          put(chip, hdmi_core_address, 0x20, {v}) != HDTX_OK ||
          get(chip, hdmi_core_address, 0x20, 1) != Bytes{v})
        ++failures;
    }
  });
  std::thread cec([&] {
    for (int i = 0; i < rounds; ++i)
      if (put(chip, C, 0x07, {3, 0, 0x40}) != HDTX_OK || get(chip, C, 0x07, 19).empty())
        ++failures;
  });
  std::thread sink([&] {
    for (int i = 0; i < rounds; ++i) {
      chip.set_rx_sense(i % 2 == 0);
      (void)chip.log_text();
    }
  });
  hdmi.join();
  cec.join();
  sink.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(chip.cec_sent().size(), static_cast<size_t>(rounds));
  EXPECT_EQ(hooked.load(), chip.interrupt_count());
  EXPECT_EQ(chip.log().size(), static_cast<size_t>(rounds * 3 + rounds * 2));
}

} // namespace
