// Test fixture: the simulated GPIO tree served at "/sys/class/gpio" for the length of one test,
// and the GLib messages logged meanwhile.
#pragma once

#include "gpiosim.h"
#include "log_capture.h"
#include "private_gpio_namespace.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

// Empty when the namespace is ready, else why it is not.
const std::string &gpio_namespace_error();

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

  log_capture log;

private:
  std::unique_ptr<gpiosim::Simulator> sim_;
};
