#include "reg_test_util.h"

#include <sstream>

namespace regtest {

std::vector<unsigned> waits;
std::vector<unsigned> causes_called;

hdtx_err record_wait(std::uint16_t ms) {
  waits.push_back(ms);
  return HDTX_OK;
}

namespace {
template <unsigned N> void cause(unsigned) { causes_called.push_back(N); }
constexpr hdtx_reg_callback table[HDTX_REG_CALLBACKS] = {cause<0>, cause<1>, cause<2>,  cause<3>,  cause<4>,
                                                         cause<5>, cause<6>, cause<7>,  cause<8>,  cause<9>,
                                                         cause<10>, cause<11>, cause<12>};
} // namespace

const hdtx_reg_callback *callback_table() { return table; }

std::vector<std::string> log_lines(const chipsim::Chip &chip) {
  std::vector<std::string> lines;
  std::istringstream in(chip.log_text());
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

void RegUnit::SetUp() {
  waits.clear();
  causes_called.clear();
  chipsim::set_current(&chip);
}

void RegUnit::TearDown() {
  hdtx_reg_deinit(0);
  chipsim::set_current(nullptr);
}

hdtx_err RegUnit::init(unsigned format, unsigned pixel_rate) {
  return hdtx_reg_init(0, 0x70, chipsim::i2c_write, chipsim::i2c_read, record_wait, callback_table(),
                       HDTX_REG_CALLBACKS, format, pixel_rate);
}

} // namespace regtest
