// The parameter store read through its fixed path, each case with its own /etc in a private
// mount namespace.
#include "child_process.h"
#include "settingstore.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

namespace platform_test {
namespace {

constexpr const char *store_file = "/etc/settingstore.conf";

// What one read gave: "value=<text>" or "error=<code>", as the child reports it.
std::string describe_read(const char *name) {
  options opts;
  cli_resetOptions(&opts);
  int error = -1;
  char *value = cli_getCustomParam(name, &opts, &error);
  if (value == nullptr)
    return "error=" + std::to_string(error);
  std::string text = "value=" + std::string(value);
  if (error != 0)
    text += " with error=" + std::to_string(error);
  free(value);
  return text;
}

// Runs reads in a child whose /etc is an empty tmpfs, after placing contents (when given) in the
// store's file; seen is what reads() returned. A namespace that can't be set up is a fatal failure.
void read_in_private_etc(const std::optional<std::string> &contents,
                         const std::function<std::string()> &reads, std::string &seen) {
  const child_result r = run_child([&](int report) {
    std::string why = enter_private_mounts();
    if (why.empty())
      why = mount_tmpfs("/etc");
    if (!why.empty()) {
      write_all(report, why);
      return setup_failed;
    }
    if (contents) {
      std::ofstream(store_file, std::ios::binary) << *contents;
    }
    write_all(report, reads());
    return 0;
  });
  ASSERT_NE(r.exit_code, setup_failed) << "namespace set-up failed: " << r.report;
  ASSERT_EQ(r.exit_code, 0) << "child failed (signal " << r.signal << "): " << r.err;
  seen = r.report;
}

struct read_case {
  const char *title;
  std::optional<std::string> file;
  const char *name;
  std::string expected;
};

const std::string err(int code) {
  return "error=" + std::to_string(code);
}

void PrintTo(const read_case &c, std::ostream *os) {
  *os << c.title;
}

class StoreRead : public testing::TestWithParam<read_case> {};

TEST_P(StoreRead, GivesValueOrError) {
  const read_case &c = GetParam();
  std::string seen;
  read_in_private_etc(
      c.file, [&] { return describe_read(c.name); }, seen);
  if (testing::Test::HasFatalFailure())
    return;
  EXPECT_EQ(seen, c.expected);
}

const char *const pwd_set = "root.System.RootPwdSet";

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreRead,
    testing::Values(
        read_case{"value", "[Parameters]\nroot.System.RootPwdSet=yes\n", pwd_set, "value=yes"},
        read_case{"value_among_others",
                  "# device set-up\n[Other]\nroot.System.RootPwdSet=no\n[Parameters]\na=1\n"
                  "root.System.RootPwdSet = yes\nb=2\n",
                  pwd_set, "value=yes"},
        read_case{"value_without_final_newline", "[Parameters]\nroot.System.RootPwdSet=no", pwd_set,
                  "value=no"},
        read_case{"empty_value", "[Parameters]\nroot.System.RootPwdSet=\n", pwd_set, "value="},
        read_case{"escaped_value", "[Parameters]\nx=\\sa b\\tc\n", "x", "value= a b\tc"},
        read_case{"missing_key", "[Parameters]\nroot.System.Other=yes\n", pwd_set, err(CLI_ERR_NOT_FOUND)},
        read_case{"key_differs_in_case", "[Parameters]\nroot.system.rootpwdset=yes\n", pwd_set,
                  err(CLI_ERR_NOT_FOUND)},
        read_case{"missing_group", "[Params]\nroot.System.RootPwdSet=yes\n", pwd_set, err(CLI_ERR_NOT_FOUND)},
        read_case{"empty_file", "", pwd_set, err(CLI_ERR_NOT_FOUND)},
        read_case{"missing_file", std::nullopt, pwd_set, err(CLI_ERR_NO_STORE)},
        read_case{"line_outside_group", "root.System.RootPwdSet=yes\n", pwd_set, err(CLI_ERR_MALFORMED)},
        read_case{"unclosed_group", "[Parameters\nroot.System.RootPwdSet=yes\n", pwd_set,
                  err(CLI_ERR_MALFORMED)},
        read_case{"line_without_equals", "[Parameters]\nroot.System.RootPwdSet yes\n", pwd_set,
                  err(CLI_ERR_MALFORMED)},
        read_case{"not_utf8", "[Parameters]\nroot.System.RootPwdSet=\xff\xfe\n", pwd_set,
                  err(CLI_ERR_MALFORMED)},
        read_case{"binary_garbage", "\x01\x02[\x7f\n", pwd_set, err(CLI_ERR_MALFORMED)},
        read_case{"empty_name", "[Parameters]\n=yes\n", "", err(CLI_ERR_INVALID)},
        read_case{"null_name", "[Parameters]\nroot.System.RootPwdSet=yes\n", nullptr, err(CLI_ERR_INVALID)}),
    [](const testing::TestParamInfo<read_case> &param) { return std::string(param.param.title); });

TEST(SettingStore, ReadsTheFileAfreshOnEveryCall) {
  std::string seen;
  read_in_private_etc(
      "[Parameters]\nroot.System.RootPwdSet=no\n",
      [] {
        std::string text = describe_read(pwd_set);
        std::ofstream(store_file, std::ios::trunc) << "[Parameters]\nroot.System.RootPwdSet=yes\n";
        text += "," + describe_read(pwd_set);
        unlink(store_file);
        text += "," + describe_read(pwd_set);
        return text;
      },
      seen);
  if (testing::Test::HasFatalFailure())
    return;
  EXPECT_EQ(seen, "value=no,value=yes," + err(CLI_ERR_NO_STORE));
}

TEST(SettingStore, StoreThatIsNotAFileIsMissing) {
  std::string seen;
  read_in_private_etc(
      std::nullopt,
      [] {
        mkdir(store_file, 0755);
        return describe_read(pwd_set);
      },
      seen);
  if (testing::Test::HasFatalFailure())
    return;
  EXPECT_EQ(seen, err(CLI_ERR_NO_STORE));
}

TEST(SettingStore, ToleratesMissingOptionsAndErrorPointer) {
  std::string seen;
  read_in_private_etc(
      "[Parameters]\nk=v\n",
      [] {
        char *value = cli_getCustomParam("k", nullptr, nullptr);
        std::string text = value ? value : "(null)";
        free(value);
        value = cli_getCustomParam("absent", nullptr, nullptr);
        text += std::string(",") + (value ? value : "(null)");
        free(value);
        return text;
      },
      seen);
  if (testing::Test::HasFatalFailure())
    return;
  EXPECT_EQ(seen, "v,(null)");
}

} // namespace
} // namespace platform_test
