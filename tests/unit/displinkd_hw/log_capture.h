// Test helper: collects the GLib messages logged while it lives, in order.
#pragma once

#include <glib.h>
#include <mutex>
#include <string>
#include <vector>

class log_capture {
public:
  log_capture() { previous_ = g_log_set_default_handler(&log_capture::collect, this); }
  ~log_capture() { g_log_set_default_handler(previous_, nullptr); }
  log_capture(const log_capture &) = delete;
  log_capture &operator=(const log_capture &) = delete;

  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
  }
  std::size_t count(const std::string &text) {
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t n = 0;
    for (const auto &m : messages_)
      n += m == text ? 1u : 0u;
    return n;
  }
  // Plain numbers: the daemons' error level (256) is no named value of GLogLevelFlags.
  std::vector<unsigned> levels() {
    std::lock_guard<std::mutex> hold(lock_);
    return levels_;
  }

private:
  static void collect(const gchar *, GLogLevelFlags level, const gchar *message, gpointer self) {
    auto *me = static_cast<log_capture *>(self);
    std::lock_guard<std::mutex> hold(me->lock_);
    me->messages_.emplace_back(message);
    me->levels_.push_back(static_cast<unsigned>(level) & static_cast<unsigned>(G_LOG_LEVEL_MASK));
  }

  GLogFunc previous_;
  std::mutex lock_;
  std::vector<std::string> messages_;
  std::vector<unsigned> levels_;
};
