// Test fixture: the simulated GPIO tree served at "/sys/class/gpio" for the length of one test,
// and a collector of the GLib messages logged meanwhile.
#pragma once

#include "gpiosim.h"
#include "private_gpio_namespace.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Empty when the namespace is ready, else why it is not.
const std::string &gpio_namespace_error();

class log_collector {
public:
  log_collector() { previous_ = g_log_set_default_handler(&log_collector::collect, this); }
  ~log_collector() { g_log_set_default_handler(previous_, nullptr); }
  log_collector(const log_collector &) = delete;
  log_collector &operator=(const log_collector &) = delete;

  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
  }
  size_t count(const std::string &text) {
    std::lock_guard<std::mutex> hold(lock_);
    size_t n = 0;
    for (const auto &m : messages_)
      n += m == text ? 1u : 0u;
    return n;
  }

private:
  static void collect(const gchar *, GLogLevelFlags, const gchar *message, gpointer self) {
    auto *me = static_cast<log_collector *>(self);
    std::lock_guard<std::mutex> hold(me->lock_);
    me->messages_.emplace_back(message);
  }

  GLogFunc previous_;
  std::mutex lock_;
  std::vector<std::string> messages_;
};

class gpio_test : public testing::Test {
protected:
  static constexpr unsigned int LINES = 512;

  void SetUp() override {
    ASSERT_EQ(gpio_namespace_error(), "") << "cannot simulate /sys/class/gpio";
    std::string error;
    sim_ = std::make_unique<gpiosim::Simulator>(gpiosim::Options{LINES, true});
    ASSERT_TRUE(sim_->start(gpiosim::kSysClassGpio, error)) << error;
  }
  void TearDown() override {
    if (sim_)
      sim_->stop();
  }

  gpiosim::Simulator &sim() { return *sim_; }

  log_collector log;

private:
  std::unique_ptr<gpiosim::Simulator> sim_;
};
