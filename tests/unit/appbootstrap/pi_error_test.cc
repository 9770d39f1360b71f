// The program's error domain and the error it reports in place of a bus error.
#include "pi_error.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

TEST(PiError, DomainIsNamedOnceAndKept) {
  GQuark q = pi_error_quark();
  EXPECT_STREQ(g_quark_to_string(q), "Add-on pre installer manager");
  EXPECT_EQ(pi_error_quark(), q);
}

TEST(PiError, InternalErrorReplacesWhateverWasSet) {
  GError *error = nullptr;
  pi_error_set_internal(&error);
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, pi_error_quark(), PI_ERROR_INTERNAL));
  EXPECT_EQ(PI_ERROR_INTERNAL, 1);
  EXPECT_STREQ(error->message, "Internal error");
  g_clear_error(&error);

  g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_FAILED, "bus gone");
  pi_error_set_internal(&error);
  EXPECT_TRUE(g_error_matches(error, pi_error_quark(), PI_ERROR_INTERNAL));
  EXPECT_STREQ(error->message, "Internal error");
  g_clear_error(&error);

  pi_error_set_internal(nullptr); // callers may not want the error
}
