#include "i2c.h"
#include "log_capture.h"
#include "sim_fixture.h"

#include <cerrno>
#include <cstring>
#include <linux/i2c-dev.h>
#include <numeric>
#include <thread>

namespace {

using simdev::i2c_op;

class i2c_on_sim : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(bed_.add_i2c_bus(SIM_BUS, bus_)) << bed_.error();
    configure_bus(SIM_BUS);
    ASSERT_EQ(displinkd_i2c_init(), 0);
  }
  void TearDown() override { EXPECT_EQ(displinkd_i2c_close(), 0); }

  simdev::register_chip chip_;
  simdev::i2c_bus bus_{&chip_};
  simdev::testbed bed_;
};

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> out;
  for (int b : list) {
    out.push_back(static_cast<std::uint8_t>(b));
  }
  return out;
}

TEST_F(i2c_on_sim, write_of_39_bytes_is_one_40_byte_transfer) {
  std::vector<std::uint8_t> data(39);
  std::iota(data.begin(), data.end(), std::uint8_t{1});
  hdtx_i2c_msg msg{0x70, 0x80, 39, data.data()};
  EXPECT_EQ(displinkd_i2c_write_adapter(&msg), HDTX_OK);

  auto log = bus_.log();
  ASSERT_EQ(log.size(), 2U);
  EXPECT_EQ(log[0].op, i2c_op::select);
  EXPECT_EQ(log[0].request, static_cast<unsigned long>(I2C_SLAVE_FORCE));
  EXPECT_EQ(log[0].slave, 0x70);
  EXPECT_EQ(log[1].op, i2c_op::write);
  ASSERT_EQ(log[1].bytes.size(), 40U);
  EXPECT_EQ(log[1].bytes[0], 0x80);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), log[1].bytes.begin() + 1));
  EXPECT_EQ(chip_.reg(0x70, 0x80 + 38), 39);
}

TEST_F(i2c_on_sim, write_of_40_bytes_is_refused_before_the_bus) {
  std::vector<std::uint8_t> data(40, 0xaa);
  log_capture logs;
  hdtx_i2c_msg msg{0x70, 0x00, 40, data.data()};
  EXPECT_EQ(displinkd_i2c_write_adapter(&msg), HDTX_I2C_ADAPTER_FAILED);
  EXPECT_EQ(displinkd_i2c_write(0x70, 0, data.data(), 255), 1);
  EXPECT_EQ(logs.messages(), std::vector<std::string>(2, "I2C write exceed buffer size"));
  EXPECT_TRUE(bus_.log().empty());
}

TEST_F(i2c_on_sim, read_selects_writes_the_register_then_reads) {
  for (int i = 0; i < 4; ++i) {
    chip_.set_reg(0x34, static_cast<std::uint8_t>(0xfe + i), static_cast<std::uint8_t>(0xc0 + i));
  }
  std::uint8_t got[4] = {};
  hdtx_i2c_msg msg{0x34, 0xfe, 4, got};
  EXPECT_EQ(displinkd_i2c_read_adapter(&msg), HDTX_OK);
  // The chip's register pointer wraps from 0xff to 0x00.
  EXPECT_EQ(std::vector<std::uint8_t>(got, got + 4), bytes({0xc0, 0xc1, 0xc2, 0xc3}));

  auto log = bus_.log();
  ASSERT_EQ(log.size(), 3U);
  EXPECT_EQ(log[0].op, i2c_op::select);
  EXPECT_EQ(log[1].op, i2c_op::write);
  EXPECT_EQ(log[1].bytes, bytes({0xfe}));
  EXPECT_EQ(log[2].op, i2c_op::read);
  EXPECT_EQ(log[2].asked, 4U);
}

TEST_F(i2c_on_sim, every_transfer_selects_its_own_slave) {
  std::uint8_t value = 0x5a;
  std::uint8_t got = 0;
  hdtx_i2c_msg hdmi_write{0x70, 0x10, 1, &value};
  hdtx_i2c_msg cec_read{0x34, 0x10, 1, &got};
  hdtx_i2c_msg hdmi_read{0x70, 0x10, 1, &got};
  EXPECT_EQ(displinkd_i2c_write_adapter(&hdmi_write), HDTX_OK);
  EXPECT_EQ(displinkd_i2c_read_adapter(&cec_read), HDTX_OK);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(displinkd_i2c_read_adapter(&hdmi_read), HDTX_OK);
  EXPECT_EQ(got, 0x5a);
  // Only the low 8 bits of a wider slave number are used.
  EXPECT_EQ(displinkd_i2c_write(0x134, 0x11, &value, 1), 0);

  std::vector<int> selected;
  for (const auto &t : bus_.log()) {
    if (t.op == i2c_op::select) {
      selected.push_back(t.slave);
    }
  }
  EXPECT_EQ(selected, (std::vector<int>{0x70, 0x34, 0x70, 0x34}));
  EXPECT_EQ(chip_.reg(0x34, 0x11), 0x5a);
}

struct failure_row {
  const char *name;
  bool reading;
  i2c_op op;
  long result;
  int error;
  const char *message;
};

class i2c_failures : public i2c_on_sim, public testing::WithParamInterface<failure_row> {};

TEST_P(i2c_failures, end_with_23_and_the_message) {
  const failure_row &row = GetParam();
  bus_.inject(row.op, row.result, row.error);
  std::uint8_t buf[4] = {1, 2, 3, 4};
  hdtx_i2c_msg msg{0x70, 0x20, 4, buf};
  log_capture logs;
  hdtx_err rc = row.reading ? displinkd_i2c_read_adapter(&msg) : displinkd_i2c_write_adapter(&msg);
  EXPECT_EQ(rc, HDTX_I2C_ADAPTER_FAILED);
  EXPECT_EQ(logs.messages(), std::vector<std::string>{row.message});
  // Nothing after the failing step reaches the bus.
  EXPECT_EQ(bus_.log().back().op, row.op);
}

INSTANTIATE_TEST_SUITE_P(
    i2c, i2c_failures,
    testing::Values(failure_row{"write_select", false, i2c_op::select, -1, EBUSY,
                                "Failed to acquire I2C bus access and/or talk to slave"},
                    failure_row{"read_select", true, i2c_op::select, -1, EBUSY,
                                "Failed to acquire I2C bus access and/or talk to slave"},
                    failure_row{"write_short", false, i2c_op::write, 3, 0,
                                "Error writing to I2C unit Input/output error"},
                    failure_row{"write_error", false, i2c_op::write, -1, EREMOTEIO,
                                "Error writing to I2C unit Remote I/O error"},
                    failure_row{"read_register_not_set", true, i2c_op::write, -1, EIO,
                                "Error setting I2C register to read: Input/output error"},
                    failure_row{"read_register_short", true, i2c_op::write, 0, 0,
                                "Error setting I2C register to read: Input/output error"},
                    failure_row{"read_short", true, i2c_op::read, 2, 0, "Error reading I2C"},
                    failure_row{"read_error", true, i2c_op::read, -1, EIO, "Error reading I2C"}),
    [](const testing::TestParamInfo<failure_row> &row_info) { return std::string(row_info.param.name); });

// The command thread and the main thread share the descriptor: a selection and its transfers
// must reach the bus together, or one thread's bytes land in the other's slave.
TEST_F(i2c_on_sim, two_threads_never_interleave_a_transfer) {
  constexpr int rounds = 150;
  auto worker = [](std::uint8_t slave, int &failures) {
    for (int i = 0; i < rounds; ++i) {
      std::uint8_t out[2] = {slave, static_cast<std::uint8_t>(i)};
      std::uint8_t in[2] = {};
      hdtx_i2c_msg w{slave, 0x40, 2, out};
      hdtx_i2c_msg r{slave, 0x40, 2, in};
      if (displinkd_i2c_write_adapter(&w) != HDTX_OK || displinkd_i2c_read_adapter(&r) != HDTX_OK ||
          std::memcmp(in, out, 2) != 0) {
        ++failures;
      }
    }
  };
  int failures_a = 0;
  int failures_b = 0;
  std::thread a(worker, std::uint8_t{0x70}, std::ref(failures_a));
  std::thread b(worker, std::uint8_t{0x34}, std::ref(failures_b));
  a.join();
  b.join();
  EXPECT_EQ(failures_a, 0);
  EXPECT_EQ(failures_b, 0);

  // On the bus: select, write (select, write, read) blocks, each of one slave.
  auto log = bus_.log();
  ASSERT_EQ(log.size(), static_cast<std::size_t>(rounds * 2 * 5));
  std::size_t i = 0;
  while (i < log.size()) {
    ASSERT_EQ(log[i].op, i2c_op::select) << "at " << i;
    ASSERT_EQ(log[i + 1].op, i2c_op::write) << "at " << i;
    std::size_t block = log[i + 1].bytes.size() == 1 ? 3 : 2;
    if (block == 3) {
      ASSERT_EQ(log[i + 2].op, i2c_op::read) << "at " << i;
    }
    i += block;
  }
}

TEST(i2c, missing_device_fails_to_open) {
  simdev::testbed bed;
  configure_bus(SIM_BUS + 40);
  log_capture logs;
  EXPECT_EQ(displinkd_i2c_init(), 1);
  EXPECT_EQ(logs.messages(), std::vector<std::string>{"Error opening i2c character device file"});
}

} // namespace
