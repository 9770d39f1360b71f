#include "policy_rig.h"

#include "displinkd_nxp.h"
#include "fakehw.h"
#include "hdcec.h"
#include "hdtx.h"
#include "hdtx_os.h"
#include "log.h"
#include "policy.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

policy_rig *current_rig = nullptr;
std::mutex current_lock;

void collect(const gchar *, GLogLevelFlags level, const gchar *message, gpointer) {
  std::lock_guard hold(current_lock);
  if (current_rig != nullptr)
    current_rig->append_log(static_cast<unsigned>(level) & static_cast<unsigned>(G_LOG_LEVEL_MASK), message);
}

hdtx_err no_wait(std::uint16_t) { return HDTX_OK; }

} // namespace

std::vector<std::uint8_t> corpus_edid(const std::string &name) {
  std::ifstream in(std::string(EDID_CORPUS_DIR) + "/" + name + ".bin", std::ios::binary);
  if (!in)
    throw std::runtime_error("no corpus EDID " + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

policy_rig::policy_rig() {
  char tmpl[] = "/tmp/hdmi_policy_XXXXXX";
  dir_ = mkdtemp(tmpl);
  fakehw::reset();
  chipsim::set_current(&chip);
  {
    std::lock_guard hold(current_lock);
    current_rig = this;
  }
  g_log_set_default_handler(collect, nullptr);
  set_debug();
  hdtx_os_set_wait_function(no_wait);
  hdcec_set_wait_function(no_wait);
  displinkd_nxp_set_image_source_path((dir_ / "image_source.conf").c_str());
}

policy_rig::~policy_rig() {
  if (started_)
    stop();
  clear_debug();
  {
    std::lock_guard hold(current_lock);
    current_rig = nullptr;
  }
  chipsim::set_current(nullptr);
  std::filesystem::remove_all(dir_);
}

void policy_rig::append_log(unsigned level, const char *text) {
  std::lock_guard hold(log_lock_);
  log_.push_back({level, text});
}

void policy_rig::capture_mode(const char *mode) {
  std::ofstream out(dir_ / "image_source.conf");
  out << "[ImageSource.I0.Video]\n";
  if (mode != nullptr)
    out << "CaptureMode=" << mode << "\n";
  out << "Other=1\n";
}

bool policy_rig::start(bool cec, bool force_scaling) {
  started_ = displinkd_nxp_init(cec, force_scaling) == 0;
  return started_;
}

void policy_rig::stop() {
  settle();
  displinkd_nxp_shutdown();
  started_ = false;
}

void policy_rig::plug(const std::string &name) { chip.plug(corpus_edid(name)); }
void policy_rig::plug_bytes(std::vector<std::uint8_t> edid) { chip.plug(std::move(edid)); }
void policy_rig::unplug() { chip.unplug(); }

bool policy_rig::settle() {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  auto quiet_since = clock_type::now();
  while (clock_type::now() < deadline) {
    const unsigned pulls = chip.interrupt_count();
    if (!fakehw::interrupt_enabled()) {
      // The command thread is at work; the line comes back when it is done.
      quiet_since = clock_type::now();
    } else if (pulls != handled_) {
      handled_ = pulls;
      displinkd_nxp_interrupt_callback();
      quiet_since = clock_type::now();
      continue;
    } else if (clock_type::now() - quiet_since > std::chrono::milliseconds(50)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

std::vector<logged> policy_rig::log() {
  std::lock_guard hold(log_lock_);
  return log_;
}

bool policy_rig::logged_text(const std::string &text) {
  for (const logged &l : log())
    if (l.text == text)
      return true;
  return false;
}

void policy_rig::clear_log() {
  std::lock_guard hold(log_lock_);
  log_.clear();
}

std::vector<std::uint8_t> policy_rig::avi_frame() {
  std::vector<std::uint8_t> frame;
  for (std::uint8_t r = 0x40; r < 0x40 + 17; ++r)
    frame.push_back(chip.hdmi_reg(0x10, r));
  return frame;
}

bool policy_rig::avi_enabled() { return (chip.hdmi_reg(0x11, 0x0F) & 0x02) != 0; }
