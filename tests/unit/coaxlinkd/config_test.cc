#include "coaxlinkd/config.h"
#include "log_capture.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace {

namespace fs = std::filesystem;

// A folder of its own per test, removed with everything in it.
class temp_dir {
public:
  temp_dir() {
    std::string tmpl = (fs::temp_directory_path() / "coaxlinkd_cfgXXXXXX").string();
    char *made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
  }
  ~temp_dir() { fs::remove_all(path_); }
  std::string write(const std::string &name, const std::string &text) const {
    fs::path p = path_ / name;
    std::ofstream(p) << text;
    return p.string();
  }
  std::string path(const std::string &name) const { return (path_ / name).string(); }

private:
  fs::path path_;
};

const std::string GPIO = "[GPIO]\nSdiIntPin=11\nSdiChipEnablePin=23\n";
const std::string I2C = "[I2C]\nI2CBusID=KESTRA_I2C_BUS2_SDA0\nI2CAddr=0x1a\n";

// Sets a known state from another file, so that a refused file can be seen to change nothing.
void preset(const temp_dir &dir) {
  const std::string base = dir.write("base.conf", "[GPIO]\nSdiIntPin=1\nSdiChipEnablePin=2\n[I2C]\nI2CBusID="
                                                  "KESTRA_I2C_BUS7_SDA0\nI2CAddr=7f\n");
  ASSERT_EQ(coaxlinkd_config_read(base.c_str()), 0);
}

struct config_row {
  const char *name;
  std::string text;
  int result;
  std::string message; // the one error, or empty
  int enable_pin;
  int bus;
  int addr;
};

class config_rows : public testing::TestWithParam<config_row> {};

TEST_P(config_rows, reads_or_refuses) {
  const config_row &row = GetParam();
  temp_dir dir;
  preset(dir);
  std::string file = dir.write("sdi_lmh0303.conf", row.text);
  log_capture logs;
  EXPECT_EQ(coaxlinkd_config_read(file.c_str()), row.result);
  if (row.message.empty()) {
    EXPECT_TRUE(logs.messages().empty());
  } else {
    ASSERT_EQ(logs.messages(), std::vector<std::string>{row.message});
    EXPECT_EQ(logs.levels()[0], 1U << G_LOG_LEVEL_USER_SHIFT);
  }
  EXPECT_EQ(coaxlinkd_config_get_SDI_chip_enable_pin(), row.enable_pin);
  EXPECT_EQ(coaxlinkd_config_get_FPGA_bus_id(), row.bus);
  EXPECT_EQ(coaxlinkd_config_get_FPGA_i2c_addr(), row.addr);
}

const char P[] = "coaxlinkd_config:";
const std::string MISSING_INT = std::string(P) +
                                "203 [coaxlinkd_config_read] Failed to read required config file parameter: "
                                "SdiIntPin";
const std::string MISSING_ENABLE = std::string(P) +
                                   "214 [coaxlinkd_config_read] Failed to read required config file "
                                   "parameter: SdiChipEnablePin, 3";
const std::string BAD_ENABLE = std::string(P) +
                               "214 [coaxlinkd_config_read] Failed to read required config file parameter: "
                               "SdiChipEnablePin, 5";
const std::string MISSING_BUS = std::string(P) +
                                "225 [coaxlinkd_config_read] Failed to get I2CBusID key, error code = 3, "
                                "error message = Key file does not have key “I2CBusID” in group “I2C”\n";
const std::string MISSING_ADDR = std::string(P) +
                                 "239 [coaxlinkd_config_read] Failed to get I2CAddr key, error code = 3, "
                                 "error message = Key file does not have key “I2CAddr” in group “I2C”\n";
std::string bad_addr(const std::string &value) {
  return std::string(P) + "239 [coaxlinkd_config_read] Failed to get I2CAddr key, error code = 5, " +
         "error message = Value \"" + value + "\" is no hexadecimal I2C address\n";
}
const std::string NO_SUCH = std::string(P) + "103 [str2enum] No such string";

std::string with_i2c(const std::string &bus, const std::string &addr) {
  return GPIO + "[I2C]\nI2CBusID=" + bus + "\nI2CAddr=" + addr + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    keys, config_rows,
    testing::Values(
        config_row{"valid", GPIO + I2C, 0, "", 23, 2, 0x1a},
        config_row{"addr_without_prefix", with_i2c("KESTRA_I2C_BUS0_SDA0", "20"), 0, "", 23, 0, 0x20},
        config_row{"addr_upper_case", with_i2c("KESTRA_I2C_BUS_MAX", "0X3F"), 0, "", 23, 9, 0x3f},
        config_row{"bus_none", with_i2c("KESTRA_I2C_BUS_NONE", "10"), 0, "", 23, 8, 0x10},
        config_row{"bus_unknown", with_i2c("KESTRA_I2C_BUS8_SDA0", "10"), 0, NO_SUCH, 23, 8, 0x10},
        config_row{"bus_lower_case", with_i2c("kestra_i2c_bus1_sda0", "10"), 0, NO_SUCH, 23, 8, 0x10},
        config_row{"bus_empty", with_i2c("", "10"), 0, NO_SUCH, 23, 8, 0x10},
        config_row{"int_pin_missing", "[GPIO]\nSdiChipEnablePin=23\n" + I2C, 1, MISSING_INT, 2, 7, 0x7f},
        config_row{"int_pin_text", "[GPIO]\nSdiIntPin=x\nSdiChipEnablePin=23\n" + I2C, 1, MISSING_INT, 2, 7,
                   0x7f},
        config_row{"enable_pin_missing", "[GPIO]\nSdiIntPin=11\n" + I2C, 1, MISSING_ENABLE, 2, 7, 0x7f},
        config_row{"enable_pin_negative", "[GPIO]\nSdiIntPin=11\nSdiChipEnablePin=-3\n" + I2C, 1, BAD_ENABLE,
                   2, 7, 0x7f},
        config_row{"bus_missing", GPIO + "[I2C]\nI2CAddr=0x1a\n", 1, MISSING_BUS, 2, 7, 0x7f},
        config_row{"addr_missing", GPIO + "[I2C]\nI2CBusID=KESTRA_I2C_BUS2_SDA0\n", 1, MISSING_ADDR, 2, 7,
                   0x7f},
        config_row{"addr_not_hex", with_i2c("KESTRA_I2C_BUS2_SDA0", "zz"), 1, bad_addr("zz"), 2, 7, 0x7f},
        config_row{"addr_trailing", with_i2c("KESTRA_I2C_BUS2_SDA0", "1ag"), 1, bad_addr("1ag"), 2, 7, 0x7f},
        config_row{"addr_negative", with_i2c("KESTRA_I2C_BUS2_SDA0", "-1"), 1, bad_addr("-1"), 2, 7, 0x7f},
        config_row{"addr_too_wide", with_i2c("KESTRA_I2C_BUS2_SDA0", "400"), 1, bad_addr("400"), 2, 7, 0x7f},
        config_row{"addr_empty", with_i2c("KESTRA_I2C_BUS2_SDA0", ""), 1, bad_addr(""), 2, 7, 0x7f}),
    [](const testing::TestParamInfo<config_row> &row_info) { return std::string(row_info.param.name); });

TEST(config, missing_file_and_broken_syntax) {
  temp_dir dir;
  preset(dir);
  const std::string missing = dir.path("absent.conf");
  const std::string broken = dir.write("broken.conf", "SdiIntPin=1\n");
  log_capture logs;
  EXPECT_EQ(coaxlinkd_config_read(missing.c_str()), 1);
  EXPECT_EQ(coaxlinkd_config_read(broken.c_str()), 1);
  EXPECT_EQ(logs.messages(),
            (std::vector<std::string>{
                std::string(P) + "192 [coaxlinkd_config_read] Failed to load config file at: " + missing,
                std::string(P) + "192 [coaxlinkd_config_read] Failed to load config file at: " + broken}));
  EXPECT_EQ(coaxlinkd_config_get_FPGA_i2c_addr(), 0x7f);
}

TEST(config, every_bus_name) {
  const char *names[] = {"KESTRA_I2C_BUS0_SDA0", "KESTRA_I2C_BUS1_SDA0", "KESTRA_I2C_BUS2_SDA0",
                         "KESTRA_I2C_BUS3_SDA0", "KESTRA_I2C_BUS4_SDA0", "KESTRA_I2C_BUS5_SDA0",
                         "KESTRA_I2C_BUS6_SDA0", "KESTRA_I2C_BUS7_SDA0", "KESTRA_I2C_BUS_NONE",
                         "KESTRA_I2C_BUS_MAX"};
  log_capture logs;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(coaxlinkd_i2c_bus_from_name(names[i]), i) << names[i];
  }
  EXPECT_EQ(coaxlinkd_i2c_bus_from_name(nullptr), KESTRA_I2C_BUS_NONE);
  EXPECT_EQ(logs.messages(), std::vector<std::string>{NO_SUCH});
}

} // namespace
