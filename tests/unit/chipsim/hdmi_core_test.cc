// The HDMI core of the chip model: paging, version trap, interrupt registers, EDID block reads,
// failure injection and the transfer log.
#include "chip_test_util.h"

#include <gtest/gtest.h>

#include <cerrno>

using chipsim::Chip;
using chipsim::hdmi_core_address;
using chipsim_test::get;
using chipsim_test::put;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t H = hdmi_core_address;

TEST(ChipHdmi, PageSelectAutoIncrementAndRefusedPage) {
  Chip chip;
  chip.select_slave(H);
  const std::uint8_t select[] = {0xFF, 0x02};
  ASSERT_EQ(chip.write(select, 2), 2);
  const std::uint8_t fill[] = {0xFE, 0x11, 0x02}; // runs on into the page register
  ASSERT_EQ(chip.write(fill, 3), 3);
  const std::uint8_t run[] = {0x10, 1, 2, 3};
  ASSERT_EQ(chip.write(run, 4), 4);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x10), 1);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x12), 3);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x11), 0) << "other pages untouched";
  EXPECT_EQ(chip.hdmi_reg(0x02, 0xFE), 0x11);

  // The pointer stays where the last transfer ended; a bare read continues from there.
  std::uint8_t out[2] = {};
  const std::uint8_t ptr[] = {0x11};
  ASSERT_EQ(chip.write(ptr, 1), 1);
  ASSERT_EQ(chip.read(out, 2), 2);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(get(chip, H, 0xFF, 1), Bytes{0x02});

  for (std::uint8_t bad : Bytes{0x03, 0x05, 0x14, 0xFF}) {
    SCOPED_TRACE(bad);
    const std::uint8_t page[] = {0xFF, bad};
    errno = 0;
    EXPECT_EQ(chip.write(page, 2), -1);
    EXPECT_EQ(errno, EIO);
    // Crossing the page register with a refused page applies none of the transfer.
    const std::uint8_t across[] = {0xFE, 0x77, bad};
    EXPECT_EQ(chip.write(across, 3), -1);
    EXPECT_EQ(chip.hdmi_reg(0x02, 0xFE), 0x11);
    EXPECT_EQ(get(chip, H, 0xFF, 1), Bytes{0x02});
  }
  for (std::uint8_t good : Bytes{0x00, 0x01, 0x02, 0x09, 0x10, 0x11, 0x12, 0x13})
    EXPECT_EQ(put(chip, H, 0xFF, {good}), HDTX_OK) << int(good);
}

TEST(ChipHdmi, VersionNeedsTheMaskAndIsReadOnly) {
  Chip chip;
  ASSERT_EQ(put(chip, H, 0xFF, {0x00}), HDTX_OK);
  Bytes v = get(chip, H, 0x00, 3);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(((v[2] << 8) | (v[0] & 0xCF)), 0x0301);
  EXPECT_NE(((v[2] << 8) | v[0]), 0x0301) << "a driver without the mask must not see a supported version";

  ASSERT_EQ(put(chip, H, 0x00, {0x00, 0x55, 0x00}), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x00), 0x31);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x01), 0x55) << "the register between is plain storage";
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x02), 0x03);
  EXPECT_EQ(chip.log().back().bytes, (Bytes{0x00, 0x55, 0x00})) << "ignored writes are still logged";

  chip.set_version_registers(0x01, 0x02);
  EXPECT_EQ(get(chip, H, 0x00, 3), (Bytes{0x01, 0x55, 0x02}));
}

TEST(ChipHdmi, InterruptRegistersEnableOnWriteClearOnRead) {
  Chip chip;
  ASSERT_EQ(put(chip, H, 0x0F, {0x04, 0x40, 0x02}), HDTX_OK);
  EXPECT_EQ(chip.interrupt_enable(0x0F), 0x04);
  EXPECT_EQ(chip.interrupt_enable(0x10), 0x40);
  EXPECT_EQ(chip.interrupt_enable(0x11), 0x02);
  EXPECT_EQ(get(chip, H, 0x0F, 3), (Bytes{0, 0, 0})) << "enables are not flags";

  chip.raise_hdmi_interrupt(0x10, 0x41);
  chip.raise_hdmi_interrupt(0x11, 0x02);
  EXPECT_EQ(chip.interrupt_count(), 2u);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x10), 0x41) << "peeking does not clear";
  EXPECT_EQ(get(chip, H, 0x10, 1), Bytes{0x41});
  EXPECT_EQ(get(chip, H, 0x10, 2), (Bytes{0x00, 0x02}));
  EXPECT_EQ(get(chip, H, 0x11, 1), Bytes{0x00});
  EXPECT_EQ(chip.interrupt_enable(0x10), 0x40);

  // Only page 0x00 has them: elsewhere 0x0F-0x11 are plain storage.
  ASSERT_EQ(put(chip, H, 0xFF, {0x11}), HDTX_OK);
  ASSERT_EQ(put(chip, H, 0x0F, {0x08}), HDTX_OK);
  EXPECT_EQ(get(chip, H, 0x0F, 1), Bytes{0x08});
  EXPECT_EQ(get(chip, H, 0x0F, 1), Bytes{0x08});
}

// A sink EDID of three blocks and two stray bytes, every byte of block k holding k + 1.
Bytes sink_edid() {
  Bytes edid(3 * 128 + 2);
  for (size_t i = 0; i < edid.size(); ++i)
    edid[i] = static_cast<std::uint8_t>(i / 128 + 1);
  return edid;
}

// What the EDID RAM holds after block k of sink_edid() was read: the sink's bytes, then 0xFF.
Bytes ram_after(int k) {
  Bytes edid = sink_edid(), ram(128, 0xFF);
  for (size_t i = 0; i < 128 && size_t(k) * 128 + i < edid.size(); ++i)
    ram[i] = edid[size_t(k) * 128 + i];
  return ram;
}

struct BlockCase {
  const char *name;
  std::uint8_t ddc, offset, segptr, segment;
  bool plugged;
  bool toggle; // 0xFA = 1 before 0xFA = 0
  int block;   // expected block in the RAM, -1 = no completion
};

TEST(ChipHdmi, EdidBlockRead) {
  const BlockCase cases[] = {
      {"block 0", 0xA0, 0x00, 0x60, 0, true, true, 0},
      {"block 1", 0xA0, 0x80, 0x60, 0, true, true, 1},
      {"block 2", 0xA0, 0x00, 0x60, 1, true, true, 2},
      {"cut short", 0xA0, 0x80, 0x60, 1, true, true, 3},
      {"past the EDID", 0xA0, 0x00, 0x60, 2, true, true, 4},
      {"wrong DDC address", 0xA2, 0x00, 0x60, 0, true, true, -1},
      {"wrong segment pointer", 0xA0, 0x00, 0x62, 0, true, true, -1},
      {"odd offset", 0xA0, 0x40, 0x60, 0, true, true, -1},
      {"no sink", 0xA0, 0x00, 0x60, 0, false, true, -1},
      {"no 1 before 0", 0xA0, 0x00, 0x60, 0, true, false, -1},
  };
  for (const BlockCase &c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip;
    if (c.plugged)
      chip.plug(sink_edid());
    unsigned before = chip.interrupt_count();
    ASSERT_EQ(put(chip, H, 0xFF, {0x09}), HDTX_OK);
    ASSERT_EQ(put(chip, H, 0xFB, {c.ddc, c.offset, c.segptr, c.segment}), HDTX_OK);
    if (c.toggle) {
      ASSERT_EQ(put(chip, H, 0xFA, {1}), HDTX_OK);
    }
    ASSERT_EQ(put(chip, H, 0xFA, {0}), HDTX_OK);
    ASSERT_EQ(put(chip, H, 0xFF, {0x00}), HDTX_OK);
    Bytes flags = get(chip, H, 0x11, 1);
    ASSERT_EQ(put(chip, H, 0xFF, {0x09}), HDTX_OK);
    Bytes ram = get(chip, H, 0x00, 128);
    ASSERT_EQ(ram.size(), 128u);
    if (c.block < 0) {
      EXPECT_EQ(flags, Bytes{0x00});
      EXPECT_EQ(chip.interrupt_count(), before);
      EXPECT_EQ(ram, Bytes(128, 0x00));
    } else {
      EXPECT_EQ(flags, Bytes{0x02});
      EXPECT_EQ(chip.interrupt_count(), before + 1);
      EXPECT_EQ(ram, ram_after(c.block));
    }
  }
}

TEST(ChipHdmi, InjectedFailureChangesNothing) {
  Chip chip;
  chip.raise_hdmi_interrupt(0x11, 0x02);
  ASSERT_EQ(put(chip, H, 0xFF, {0x02}), HDTX_OK);
  ASSERT_EQ(put(chip, H, 0x40, {0xAA}), HDTX_OK);
  chip.set_fail([](const chipsim::Transfer &t) { return t.page == 0x02 || (!t.write && t.reg == 0x11); });

  chip.select_slave(H);
  const std::uint8_t w[] = {0x40, 0x55, 0x66};
  errno = 0;
  EXPECT_EQ(chip.write(w, 3), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x40), 0xAA);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x41), 0x00);
  EXPECT_EQ(put(chip, H, 0xFF, {0x00}), HDTX_I2C_ADAPTER_FAILED) << "the page write itself runs on page 0x02";
  EXPECT_EQ(get(chip, H, 0xFF, 1), Bytes{}) << "so does the read";

  chip.set_fail([](const chipsim::Transfer &t) { return !t.write && t.reg == 0x11; });
  ASSERT_EQ(put(chip, H, 0xFF, {0x00}), HDTX_OK);
  EXPECT_EQ(get(chip, H, 0x11, 1), Bytes{});
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x11), 0x02) << "a failed read does not clear the flags";
  chip.set_fail(nullptr);
  EXPECT_EQ(get(chip, H, 0x11, 1), Bytes{0x02});

  EXPECT_EQ(chipsim::format_transfer(chip.log()[2]), "W 70 p02 40 55 66 !EIO");
  EXPECT_EQ(chipsim::format_transfer(chip.log()[5]), "W 70 p02 FF 00");
}

TEST(ChipHdmi, NoCoreAtOtherAddresses) {
  Chip chip;
  chip.select_slave(0x50);
  const std::uint8_t w[] = {0x00, 0x01};
  errno = 0;
  EXPECT_EQ(chip.write(w, 2), -1);
  EXPECT_EQ(errno, ENXIO);
  std::uint8_t out = 0;
  EXPECT_EQ(chip.read(&out, 1), -1);
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(get(chip, 0x71, 0x00, 1), Bytes{});
  EXPECT_EQ(chip.log_text(), "W 50 -- 00 01 !ENXIO\n"
                             "R 50 -- 00 !ENXIO\n"
                             "W 71 -- 00 !ENXIO\n");
}

// Both views of the same operations give the same log; a pointer write folds only into a read
// that follows it at once on the same slave.
TEST(ChipHdmi, LogFoldsPointerWriteIntoRead) {
  const char *golden = "W 70 p00 FF 09\n"
                       "R 70 p09 00 +128\n"
                       "W 70 p09 FA 01\n"
                       "R 34 -- FE +1\n"
                       "W 70 p09 10\n"
                       "W 34 -- 10\n"
                       "R 70 p09 11 +2\n";
  Chip a;
  ASSERT_EQ(put(a, H, 0xFF, {0x09}), HDTX_OK);
  ASSERT_EQ(get(a, H, 0x00, 128).size(), 128u);
  ASSERT_EQ(put(a, H, 0xFA, {0x01}), HDTX_OK);
  ASSERT_EQ(get(a, 0x34, 0xFE, 1).size(), 1u);
  ASSERT_EQ(put(a, H, 0x10, {}), HDTX_OK);
  ASSERT_EQ(put(a, 0x34, 0x10, {}), HDTX_OK);
  ASSERT_EQ(get(a, H, 0x11, 2).size(), 2u);
  EXPECT_EQ(a.log_text(), golden);

  Chip b;
  std::uint8_t buf[128];
  auto write = [&](std::uint16_t slave, Bytes bytes) {
    b.select_slave(slave);
    return b.write(bytes.data(), bytes.size());
  };
  auto read = [&](std::uint16_t slave, size_t n) {
    b.select_slave(slave);
    return b.read(buf, n);
  };
  ASSERT_EQ(write(H, {0xFF, 0x09}), 2);
  ASSERT_EQ(write(H, {0x00}), 1);
  ASSERT_EQ(read(H, 128), 128);
  ASSERT_EQ(write(H, {0xFA, 0x01}), 2);
  ASSERT_EQ(write(0x34, {0xFE}), 1);
  ASSERT_EQ(read(0x34, 1), 1);
  ASSERT_EQ(write(H, {0x10}), 1);
  ASSERT_EQ(write(0x34, {0x10}), 1);
  ASSERT_EQ(write(H, {0x11}), 1);
  ASSERT_EQ(read(H, 2), 2);
  EXPECT_EQ(b.log_text(), golden);

  b.clear_log();
  EXPECT_EQ(b.log_text(), "");
  ASSERT_EQ(read(H, 1), 1);
  EXPECT_EQ(b.log_text(), "R 70 p09 13 +1\n") << "a bare read continues at the pointer";
}

} // namespace
