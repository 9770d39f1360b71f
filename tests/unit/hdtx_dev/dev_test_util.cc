#include "dev_test_util.h"

#include "fakehw.h"
#include "hdtx_os.h"
#include "hdtx_reg.h"

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace devtest {

namespace {

struct recorder {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<unsigned> events;
  std::vector<unsigned> waits;
  unsigned block_event = 0;
  bool is_blocked = false;
  bool power_on = false;
};

recorder &rec() {
  static recorder r;
  return r;
}

hdtx_err record_wait(std::uint16_t ms) {
  std::lock_guard lock(rec().mutex);
  rec().waits.push_back(ms);
  return HDTX_OK;
}

void on_event(unsigned event) {
  std::unique_lock lock(rec().mutex);
  rec().events.push_back(event);
  if (rec().block_event != 0 && event == rec().block_event) {
    rec().is_blocked = true;
    rec().cv.wait(lock, [] { return rec().block_event == 0; });
    rec().is_blocked = false;
  }
  const bool power_on = rec().power_on && event == HDTX_HPD_ACTIVE;
  lock.unlock();
  if (power_on) {
    EXPECT_EQ(hdtx_set_power_state(0, HDTX_POWER_ON), HDTX_OK);
  }
}

} // namespace

std::vector<std::uint8_t> corpus_edid(const std::string &name) {
  std::ifstream in(std::string(EDID_CORPUS_DIR) + "/" + name + ".bin", std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool eventually(const std::function<bool()> &done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void DevTest::SetUp() {
  {
    std::lock_guard lock(rec().mutex);
    rec().events.clear();
    rec().waits.clear();
    rec().block_event = 0;
    rec().power_on = false;
  }
  fakehw::reset();
  hdtx_os_set_wait_function(record_wait);
  chipsim::set_current(&chip);
  chip.set_interrupt_hook([] { hdtx_handle_interrupt(0); });
}

void DevTest::TearDown() {
  release();
  hdtx_close(0);
  chip.set_interrupt_hook({});
  chipsim::set_current(nullptr);
  hdtx_os_set_wait_function(nullptr);
}

void DevTest::bring_up() {
  unsigned instance = 99;
  ASSERT_EQ(hdtx_open(&instance), HDTX_OK);
  ASSERT_EQ(instance, 0u);
  ASSERT_EQ(hdtx_set_power_state(0, HDTX_POWER_ON), HDTX_OK);
  ASSERT_EQ(hdtx_register_callbacks(0, on_event), HDTX_OK);
  for (unsigned event : {2u, 3u, 5u, 6u, 7u})
    ASSERT_EQ(hdtx_enable_event(0, event), HDTX_OK);
  const hdtx_setup_info setup{};
  ASSERT_EQ(hdtx_instance_setup(0, &setup), HDTX_OK);
}

void DevTest::plug_and_read(const std::vector<std::uint8_t> &edid) {
  power_on_at_plug(true);
  chip.plug(edid);
  ASSERT_TRUE(eventually([] { return has_event(HDTX_EDID_RECEIVED); })) << ::testing::PrintToString(events());
  unsigned state = 0;
  ASSERT_TRUE(eventually([&] { return hdtx_get_instance_state(0, &state) == HDTX_OK && state == 4; }));
}

std::vector<unsigned> DevTest::events() {
  std::lock_guard lock(rec().mutex);
  return rec().events;
}

std::vector<unsigned> DevTest::waits() {
  std::lock_guard lock(rec().mutex);
  return rec().waits;
}

bool DevTest::has_event(unsigned event) {
  std::lock_guard lock(rec().mutex);
  for (unsigned e : rec().events) {
    if (e == event)
      return true;
  }
  return false;
}

void DevTest::block_on(unsigned event) {
  std::lock_guard lock(rec().mutex);
  rec().block_event = event;
}

void DevTest::release() {
  {
    std::lock_guard lock(rec().mutex);
    rec().block_event = 0;
  }
  rec().cv.notify_all();
}

bool DevTest::blocked() {
  std::lock_guard lock(rec().mutex);
  return rec().is_blocked;
}

void DevTest::power_on_at_plug(bool on) {
  std::lock_guard lock(rec().mutex);
  rec().power_on = on;
}

} // namespace devtest
