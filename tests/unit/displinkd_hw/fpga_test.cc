#include "cam_extern.h"
#include "fpga.h"
#include "log_capture.h"
#include "sim_fixture.h"

#include <cerrno>
#include <functional>
#include <sys/stat.h>

namespace {

constexpr std::uint32_t DEV = simdev::fpga_model::FIRST_DEV_NBR;

class fpga_on_sim : public testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(bed_.add_fpga(model_)) << bed_.error(); }

  simdev::fpga_model model_;
  simdev::testbed bed_;
};

struct operation_row {
  const char *name;
  std::function<int()> call;
  std::uint32_t before;
  std::uint32_t after;
};

class fpga_operations : public fpga_on_sim, public testing::WithParamInterface<operation_row> {};

TEST_P(fpga_operations, attach_read_and_write_back_register_0) {
  const operation_row &row = GetParam();
  model_.set_reg(DEV, 0, row.before);
  EXPECT_EQ(row.call(), 1);

  auto log = model_.log();
  ASSERT_EQ(log.size(), 3U);
  EXPECT_EQ(log[0].code, CAM_IOC_EXTERN_ATTACH);
  EXPECT_EQ(std::vector<std::uint32_t>(log[0].words, log[0].words + 3),
            (std::vector<std::uint32_t>{1, 0, 3}));
  EXPECT_EQ(log[0].result, static_cast<long>(DEV));
  EXPECT_EQ(log[1].code, CAM_IOC_EXTERN_READ);
  EXPECT_EQ(log[1].words[0], 0U);
  EXPECT_EQ(log[1].words[2], DEV);
  EXPECT_EQ(log[2].code, CAM_IOC_EXTERN_WRITE);
  EXPECT_EQ(std::vector<std::uint32_t>(log[2].words, log[2].words + 3),
            (std::vector<std::uint32_t>{0, row.after, DEV}));
  EXPECT_EQ(model_.reg(DEV, 0), row.after);
}

INSTANTIATE_TEST_SUITE_P(
    fpga, fpga_operations,
    testing::Values(operation_row{"enable_pll", displinkd_fpga_enable_pll, 0xf0, 0xf4},
                    operation_row{"enable_hdmi", displinkd_fpga_enable_hdmi, 0x0e, 0x0f},
                    operation_row{"disable_hdmi", displinkd_fpga_disable_hdmi, 0xff, 0xfe},
                    operation_row{"mode_sd", [] { return displinkd_fpga_enable_hdmi_mode_sd(false); }, 0x05,
                                  0x07},
                    operation_row{"mode_sd_from_720", [] { return displinkd_fpga_enable_hdmi_mode_sd(true); },
                                  0x05, 0x0f},
                    operation_row{"mode_hd", displinkd_fpga_enable_hdmi_mode_hd, 0x0f, 0x0d}),
    [](const testing::TestParamInfo<operation_row> &row_info) { return std::string(row_info.param.name); });

TEST_F(fpga_on_sim, hd_after_sd_from_720_keeps_the_source_bit) {
  EXPECT_EQ(displinkd_fpga_enable_pll(), 1);
  EXPECT_EQ(displinkd_fpga_enable_hdmi(), 1);
  EXPECT_EQ(displinkd_fpga_enable_hdmi_mode_sd(true), 1);
  EXPECT_EQ(model_.reg(DEV, 0), 0x0fU);
  EXPECT_EQ(displinkd_fpga_enable_hdmi_mode_hd(), 1);
  EXPECT_EQ(model_.reg(DEV, 0), 0x0dU);
  // Every call attached the same device again.
  EXPECT_EQ(model_.attached().size(), 1U);
  EXPECT_EQ(model_.log().size(), 12U);
}

struct failure_row {
  const char *name;
  unsigned long failing;
  std::size_t requests; // reaching the device, the failing one included
  const char *message;
};

class fpga_failures : public fpga_on_sim, public testing::WithParamInterface<failure_row> {};

// A word that could not be read is never written back over the other bits.
TEST_P(fpga_failures, return_0_and_leave_the_word_alone) {
  const failure_row &row = GetParam();
  model_.set_reg(DEV, 0, 0x0a);
  model_.fail(row.failing, EIO);
  log_capture logs;
  EXPECT_EQ(displinkd_fpga_enable_hdmi(), 0);
  EXPECT_EQ(logs.messages(), std::vector<std::string>{row.message});
  auto log = model_.log();
  ASSERT_EQ(log.size(), row.requests);
  EXPECT_EQ(log.back().code, row.failing);
  EXPECT_EQ(model_.reg(DEV, 0), 0x0aU);
}

INSTANTIATE_TEST_SUITE_P(
    fpga, fpga_failures,
    testing::Values(failure_row{"attach", CAM_IOC_EXTERN_ATTACH, 1,
                                "Failed to attach FPGA control device: Input/output error"},
                    failure_row{"read", CAM_IOC_EXTERN_READ, 2,
                                "Failed to read FPGA control word: Input/output error"},
                    failure_row{"write", CAM_IOC_EXTERN_WRITE, 3,
                                "Failed to write FPGA control word: Input/output error"}),
    [](const testing::TestParamInfo<failure_row> &row_info) { return std::string(row_info.param.name); });

TEST(fpga, missing_video_device_returns_0_after_logging) {
  struct stat st;
  ASSERT_NE(stat("/dev/cam0", &st), 0) << "this machine has a real /dev/cam0";
  simdev::fpga_model model;
  simdev::testbed bed; // without the video device
  log_capture logs;
  EXPECT_EQ(displinkd_fpga_enable_pll(), 0);
  EXPECT_EQ(displinkd_fpga_disable_hdmi(), 0);
  EXPECT_EQ(logs.messages(), std::vector<std::string>(2, "Failed to open /dev/cam0"));
  EXPECT_TRUE(model.log().empty());
}

} // namespace
