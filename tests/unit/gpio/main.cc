// The GPIO tests run against the simulated tree mounted at the real "/sys/class/gpio" inside a
// private mount namespace. The namespace is made here, before any thread exists; without root
// every test fails with the reason instead of being skipped.
#include "gpio_fixture.h"

#include "private_gpio_namespace.h"

#include <gtest/gtest.h>

namespace {
std::string setup_error = "the private GPIO namespace was not set up";
} // namespace

const std::string &gpio_namespace_error() {
  return setup_error;
}

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) {
    std::string error;
    setup_error = gpiosim::enter_private_gpio_namespace(error) ? std::string() : error;
  }
  return RUN_ALL_TESTS();
}
