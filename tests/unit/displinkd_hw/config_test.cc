#include "config_file.h"
#include "log.h"
#include "log_capture.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::string VALID = "[GPIO]\nHdmiIntPin=42\n[I2C]\nI2CBusNum=7\n";

struct config_row {
  const char *name;
  const char *text;
  int result;
  const char *message; // the one error, or none
  int pin;
  const char *device;
};

class config_rows : public testing::TestWithParam<config_row> {};

TEST_P(config_rows, reads_or_refuses_with_the_key_name) {
  const config_row &row = GetParam();
  // A known previous state, so that a refused file can be seen to change nothing.
  {
    temp_file base(VALID);
    ASSERT_EQ(displinkd_config_read(base.path()), 0);
  }
  temp_file f(row.text);
  log_capture logs;
  EXPECT_EQ(displinkd_config_read(f.path()), row.result);
  if (row.message != nullptr) {
    ASSERT_EQ(logs.messages(), std::vector<std::string>{row.message});
    EXPECT_EQ(logs.levels()[0], 1U << G_LOG_LEVEL_USER_SHIFT);
  } else {
    EXPECT_TRUE(logs.messages().empty());
  }
  EXPECT_EQ(displinkd_config_get_interrupt_pin(), row.pin);
  EXPECT_STREQ(displinkd_config_get_i2c_device_path(), row.device);
}

const char KEY_PIN[] = "Failed to read required config file parameter HdmiIntPin";
const char KEY_BUS[] = "Failed to read required config file parameter I2CBusNum";

INSTANTIATE_TEST_SUITE_P(
    config, config_rows,
    testing::Values(
        config_row{"bus_99", "[GPIO]\nHdmiIntPin=3\n[I2C]\nI2CBusNum=99\n", 0, nullptr, 3, "/dev/i2c-99"},
        config_row{"bus_0", "[GPIO]\nHdmiIntPin=0\n[I2C]\nI2CBusNum=0\n", 0, nullptr, 0, "/dev/i2c-0"},
        config_row{"bus_100", "[GPIO]\nHdmiIntPin=3\n[I2C]\nI2CBusNum=100\n", 1, KEY_BUS, 42, "/dev/i2c-7"},
        config_row{"bus_negative", "[GPIO]\nHdmiIntPin=3\n[I2C]\nI2CBusNum=-1\n", 1, KEY_BUS, 42,
                   "/dev/i2c-7"},
        config_row{"bus_missing", "[GPIO]\nHdmiIntPin=3\n[I2C]\n", 1, KEY_BUS, 42, "/dev/i2c-7"},
        config_row{"bus_text", "[GPIO]\nHdmiIntPin=3\n[I2C]\nI2CBusNum=one\n", 1, KEY_BUS, 42, "/dev/i2c-7"},
        config_row{"bus_trailing", "[GPIO]\nHdmiIntPin=3\n[I2C]\nI2CBusNum=12x\n", 1, KEY_BUS, 42,
                   "/dev/i2c-7"},
        config_row{"bus_huge", "[GPIO]\nHdmiIntPin=3\n[I2C]\nI2CBusNum=4294967297\n", 1, KEY_BUS, 42,
                   "/dev/i2c-7"},
        config_row{"pin_group_missing", "[I2C]\nI2CBusNum=1\n", 1, KEY_PIN, 42, "/dev/i2c-7"},
        config_row{"pin_text", "[GPIO]\nHdmiIntPin=\n[I2C]\nI2CBusNum=1\n", 1, KEY_PIN, 42, "/dev/i2c-7"},
        config_row{"pin_in_wrong_group", "[I2C]\nHdmiIntPin=3\nI2CBusNum=1\n", 1, KEY_PIN, 42, "/dev/i2c-7"},
        config_row{"not_a_key_file", "HdmiIntPin=3\n", 1, "Failed to load config file", 42, "/dev/i2c-7"}),
    [](const testing::TestParamInfo<config_row> &row_info) { return std::string(row_info.param.name); });

TEST(config, unreadable_file_is_a_load_failure) {
  log_capture logs;
  EXPECT_EQ(displinkd_config_read("/nonexistent/displinkd.conf"), 1);
  EXPECT_EQ(displinkd_config_read("/tmp"), 1);
  EXPECT_EQ(displinkd_config_read(nullptr), 1);
  EXPECT_EQ(logs.messages(), std::vector<std::string>(3, "Failed to load config file"));
}

} // namespace
