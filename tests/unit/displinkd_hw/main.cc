// The hardware tests open the real fixed paths ("/dev/cam0", "/dev/i2c-N"), which reach the
// simulated device only through umockdev's preload library. When it is not loaded yet, the binary
// runs itself again with it; when it cannot be loaded, the suite fails rather than skips.
#include "testbed.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

void append_env(const char *name, const char *value, char sep) {
  const char *old = std::getenv(name);
  std::string v = old != nullptr && *old != '\0' ? std::string(old) + sep + value : value;
  setenv(name, v.c_str(), 1);
}

} // namespace

int main(int argc, char **argv) {
  if (!simdev::testbed::preload_active()) {
    if (std::getenv("DISPLINKD_HW_REEXEC") != nullptr) {
      std::fprintf(stderr, "%s could not be preloaded: the simulated device is out of reach\n",
                   simdev::PRELOAD_LIBRARY);
      return 1;
    }
    setenv("DISPLINKD_HW_REEXEC", "1", 1);
    append_env("LD_PRELOAD", simdev::PRELOAD_LIBRARY, ':');
    // Under AddressSanitizer the preload comes before its runtime; that order is harmless here.
    append_env("ASAN_OPTIONS", "verify_asan_link_order=0", ':');
    execv("/proc/self/exe", argv);
    std::perror("execv /proc/self/exe");
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
