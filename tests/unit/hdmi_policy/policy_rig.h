// Test rig for the output policy: the chip model behind the real transmitter and CEC libraries,
// the hardware stand-ins, a capture-mode file of the test's own, and a main-thread stand-in that
// serves the interrupt line as the daemon's GLib source would.
#pragma once

#include "chipsim.h"

#include <glib.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

// One GLib message as logged: level (256 for errors) and text.
struct logged {
  unsigned level;
  std::string text;
};

class policy_rig {
public:
  policy_rig();
  ~policy_rig();
  policy_rig(const policy_rig &) = delete;
  policy_rig &operator=(const policy_rig &) = delete;

  // Writes the capture-mode key file; nullptr writes a file without the key.
  void capture_mode(const char *mode);
  // Brings the policy up as the daemon does; false when it refused.
  bool start(bool cec, bool force_scaling);
  void stop();

  // Plugs in a sink with the corpus EDID NAME (without ".bin"), or with these bytes.
  void plug(const std::string &name);
  void plug_bytes(std::vector<std::uint8_t> edid);
  void unplug();

  // Serves the interrupt line until nothing more happens: each pull of the line while it is
  // watched calls the policy's interrupt callback on this thread; the command thread's work is
  // awaited. False when it did not settle within a few seconds.
  bool settle();

  std::vector<logged> log();
  bool logged_text(const std::string &text);
  void clear_log();

  // The AVI infoframe as written to the chip: header (3), checksum, 13 payload bytes.
  std::vector<std::uint8_t> avi_frame();
  bool avi_enabled();

  // For the process-wide log handler.
  void append_log(unsigned level, const char *text);

  chipsim::Chip chip;

private:

  std::filesystem::path dir_;
  std::mutex log_lock_;
  std::vector<logged> log_;
  unsigned handled_ = 0;
  bool started_ = false;
};

std::vector<std::uint8_t> corpus_edid(const std::string &name);
