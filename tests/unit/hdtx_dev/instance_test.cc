// The instance's life cycle and its tables: open and close, the state checks of set-up and
// registration, the event table, the resolution table and the port masks of the configuration.
#include "dev_test_util.h"

#include "hdtx_reg.h"

#include <set>

namespace {

using devtest::DevTest;

TEST_F(DevTest, OpenCloseAndTheStateChecks) {
  unsigned instance = 0;
  unsigned state = 9;
  EXPECT_EQ(hdtx_set_power_state(0, HDTX_POWER_ON), HDTX_ERR_NOT_OPEN);
  ASSERT_EQ(hdtx_open(&instance), HDTX_OK);
  EXPECT_EQ(hdtx_open(&instance), 0x8824100Eu);
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_OPENED);

  const hdtx_setup_info setup{};
  const hdtx_setup_info short_buffer{0, 0, reinterpret_cast<std::uint8_t *>(&state), 4};
  EXPECT_EQ(hdtx_instance_setup(0, &short_buffer), HDTX_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_enable_event(0, 9), 0x88241009u);
  EXPECT_EQ(hdtx_enable_event(0, 8), HDTX_OK);
  EXPECT_EQ(hdtx_set_power_state(0, 4), HDTX_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_set_power_state(1, HDTX_POWER_ON), HDTX_ERR_BAD_INSTANCE);
  ASSERT_EQ(hdtx_instance_setup(0, &setup), HDTX_OK);
  EXPECT_EQ(hdtx_instance_setup(0, &setup), 0x88241066u);
  EXPECT_EQ(hdtx_register_callbacks(0, [](unsigned) {}), HDTX_ERR_WRONG_STATE);
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_SET_UP);
  std::uint16_t address = 0;
  EXPECT_EQ(hdtx_get_edid_source_address(0, &address), HDTX_ERR_WRONG_STATE);

  // Power states 1 and 3 take the instance back to opened, so it can be set up again.
  EXPECT_EQ(hdtx_set_power_state(0, HDTX_POWER_OFF), HDTX_OK);
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_OPENED);

  ASSERT_EQ(hdtx_close(0), HDTX_OK);
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_CLOSED);
  EXPECT_EQ(hdtx_close(0), HDTX_ERR_NOT_OPEN);
  EXPECT_EQ(hdtx_handle_interrupt(0), HDTX_ERR_NOT_OPEN);
  // Everything open made is given back: the instance opens again.
  ASSERT_EQ(hdtx_open(&instance), HDTX_OK);
}

TEST_F(DevTest, FailedRegisterLayerStartLeavesTheInstanceClosed) {
  chip.set_version_registers(0x07, 0x09); // not a supported version
  unsigned instance = 0;
  EXPECT_EQ(hdtx_open(&instance), 0x88240001u);
  EXPECT_EQ(hdtx_close(0), HDTX_ERR_NOT_OPEN);
  chip.set_version_registers(0x31, 0x03);
  EXPECT_EQ(hdtx_open(&instance), HDTX_OK);
}

TEST(Config, TablesAndPortMasks) {
  hdtx_config c{};
  EXPECT_EQ(hdtx_get_config(1, &c), HDTX_ERR_BAD_UNIT);
  ASSERT_EQ(hdtx_get_config(0, &c), HDTX_OK);
  // RGB 4:4:4 takes the FPGA's 24 bits as they come: all ports, in order, none grounded.
  const hdtx_video_port_config &rgb = c.video_ports[HDTX_VIN_RGB444];
  EXPECT_EQ(std::vector<int>(rgb.swap, rgb.swap + 6), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(std::vector<int>(rgb.enable, rgb.enable + 3), (std::vector<int>{0xFF, 0xFF, 0xFF}));

  const struct {
    std::array<std::uint16_t, 6> map;
    std::array<int, 3> enable;
    std::array<int, 3> ground;
    std::array<int, 6> swap;
    std::array<int, 6> mirror;
  } cases[] = {
      {{HDTX_PORT_UNUSED, HDTX_PORT_UNUSED, HDTX_PORT_UNUSED, HDTX_PORT_UNUSED, 4, 5},
       {0, 0, 0xFF},
       {0xFF, 0xFF, 0},
       {0, 1, 2, 3, 4, 5},
       {0, 0, 0, 0, 0, 0}},
      {{5, 0x80 | 4, HDTX_PORT_UNUSED, 1, HDTX_PORT_UNUSED, HDTX_PORT_UNUSED},
       {0xF0, 0, 0xFF},
       {0x0F, 0xFF, 0},
       {5, 4, 2, 1, 4, 5},
       {0, 1, 0, 0, 0, 0}},
  };
  for (const auto &k : cases) {
    const hdtx_video_port_config p = hdtx_video_port_config_from(k.map, 0x51);
    for (unsigned i = 0; i < 3; ++i) {
      EXPECT_EQ(p.enable[i], k.enable[i]) << i;
      EXPECT_EQ(p.ground[i], k.ground[i]) << i;
    }
    for (unsigned i = 0; i < 6; ++i) {
      EXPECT_EQ(p.swap[i], k.swap[i]) << i;
      EXPECT_EQ(p.mirror[i], k.mirror[i]) << i;
    }
    EXPECT_EQ(p.mux, 0x51);
  }
}

TEST(Config, ResolutionTableHasEachCodeOnceWithItsAspect) {
  std::set<unsigned> codes;
  for (const hdtx_video_format_specs &row : hdtx_resolution_table) {
    EXPECT_TRUE(codes.insert(row.code).second) << unsigned{row.code};
    EXPECT_TRUE(row.aspect == 3 || row.aspect == 6);
    EXPECT_LE(row.field_rate, 5);
  }
  EXPECT_EQ(codes.size(), 41u);
  EXPECT_EQ(*codes.begin(), 1u);
  EXPECT_EQ(*codes.rbegin(), 62u);
  EXPECT_EQ(codes.count(39), 0u);
}

struct FormatCase {
  std::uint16_t version_regs; // register 0x02 << 8 | register 0x00
  unsigned code;
  hdtx_err err;
  unsigned width;
  unsigned height;
  bool interlaced;
  unsigned rate;
  unsigned aspect;
};

class FormatSpecs : public DevTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatSpecs, RowAndVersionOneRule) {
  const FormatCase &k = GetParam();
  chip.set_version_registers(static_cast<std::uint8_t>(k.version_regs & 0xFF),
                             static_cast<std::uint8_t>(k.version_regs >> 8));
  unsigned instance = 0;
  ASSERT_EQ(hdtx_open(&instance), HDTX_OK);
  hdtx_video_format_specs s{};
  ASSERT_EQ(hdtx_get_video_format_specs(0, k.code, &s), k.err);
  if (k.err != HDTX_OK)
    return;
  EXPECT_EQ(s.code, k.code);
  EXPECT_EQ(s.width, k.width);
  EXPECT_EQ(s.height, k.height);
  EXPECT_EQ(s.interlaced, k.interlaced);
  EXPECT_EQ(s.field_rate, k.rate);
  EXPECT_EQ(s.aspect, k.aspect);
}

INSTANTIATE_TEST_SUITE_P(Versions, FormatSpecs,
                         ::testing::Values(FormatCase{0x0331, 5, HDTX_OK, 1920, 1080, true, 5, 6},
                                           FormatCase{0x0331, 20, HDTX_OK, 1920, 1080, true, 3, 6},
                                           FormatCase{0x0101, 5, HDTX_OK, 1920, 1080, false, 2, 6},
                                           FormatCase{0x0101, 20, HDTX_OK, 1920, 1080, false, 1, 6},
                                           FormatCase{0x0101, 21, HDTX_OK, 720, 576, true, 3, 3},
                                           FormatCase{0x0331, 62, HDTX_OK, 1280, 720, false, 2, 6},
                                           FormatCase{0x0331, 36, HDTX_OK, 2880, 480, false, 5, 6},
                                           FormatCase{0x0331, 39, 0x8824105Cu, 0, 0, false, 0, 0},
                                           FormatCase{0x0331, 0, 0x8824105Cu, 0, 0, false, 0, 0}));

} // namespace
