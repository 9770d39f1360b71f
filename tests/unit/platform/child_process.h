// Running a test's body in a forked child: its standard output and error and a report channel are
// captured, and the child may take a private mount namespace so that the test binary keeps the
// machine's mount table.
#pragma once

#include <functional>
#include <string>

namespace platform_test {

struct child_result {
  int exit_code = -1; // the child's exit status, or -1 when it died of a signal
  int signal = 0;     // the signal that ended the child, else 0
  std::string out;    // everything the child wrote to standard output
  std::string err;    // everything the child wrote to standard error
  std::string report; // what the body wrote to its report descriptor
  int pid = 0;
};

// Exit status of a child whose namespace set-up failed; the reason is in its report.
inline constexpr int setup_failed = 77;

// Runs body(report_fd) in a child and waits for it. The child exits with the body's return
// value, or with 1 when a sanitizer build finds memory the body leaked.
child_result run_child(const std::function<int(int report_fd)> &body);

// In the child: a private mount namespace in which nothing propagates back to the machine. Returns
// an empty text, or why it failed (root is needed).
std::string enter_private_mounts();

// In the child, after enter_private_mounts(): an empty tmpfs over dir.
std::string mount_tmpfs(const char *dir);

// In the child: a datagram socket that receives what syslog() sends to /dev/log, in a private
// mount namespace so the machine's /dev stays as it is. Returns the socket or -1 with why set.
int capture_dev_log(std::string &why);

// Every datagram that arrives within timeout_ms of the last one, one per line (newlines escaped).
std::string collect_datagrams(int fd, int timeout_ms);

// In the child: writes text whole to fd.
void write_all(int fd, const std::string &text);

} // namespace platform_test
