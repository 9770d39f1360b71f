// The logging router: one GLib writer for the whole process, switched between standard output,
// syslog and GLib's own default writer.
#include "vexolog.h"

#include <glib.h>

#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace {

enum class route { glib_default, to_stdout, to_syslog };

// The daemons log their errors at the first user level; it is an ordinary level to GLib and
// must stay one (never fatal).
constexpr unsigned user_error_level = 1u << G_LOG_LEVEL_USER_SHIFT;

std::atomic<route> current{route::glib_default};

// Guards the writer's installation and the syslog connection with its identity, which syslog
// keeps pointing into while it is open.
std::mutex lock;
bool writer_installed = false;
bool syslog_open = false;
std::string syslog_ident;

int priority_of(GLogLevelFlags level) {
  const auto bits = static_cast<unsigned>(level);
  if ((bits & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | user_error_level)) != 0)
    return LOG_ERR;
  if ((bits & G_LOG_LEVEL_WARNING) != 0)
    return LOG_WARNING;
  if ((bits & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) != 0)
    return LOG_INFO;
  if ((bits & G_LOG_LEVEL_DEBUG) != 0)
    return LOG_DEBUG;
  return LOG_INFO;
}

std::string_view message_of(const GLogField *fields, gsize n_fields) {
  for (gsize i = 0; i < n_fields; ++i) {
    if (fields[i].key == nullptr || std::strcmp(fields[i].key, "MESSAGE") != 0 || fields[i].value == nullptr)
      continue;
    const auto *text = static_cast<const char *>(fields[i].value);
    if (fields[i].length < 0)
      return std::string_view(text);
    return std::string_view(text, static_cast<std::size_t>(fields[i].length));
  }
  return {};
}

void write_line(std::string_view text) {
  if (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  // One write() per message keeps lines of concurrent threads whole; the loop only matters for
  // messages too long for one atomic write.
  const char *p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// False when syslog was closed by a switch of mode since the caller looked at it: syslog() would
// otherwise reopen it under the C library's default identity.
bool send_syslog(GLogLevelFlags level, std::string_view text) {
  const int length =
      text.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
  std::lock_guard guard(lock);
  if (!syslog_open)
    return false;
  // The text may carry no terminator, and it is never a format.
  syslog(priority_of(level), "%.*s", length, text.data());
  return true;
}

// Debug chatter of the libraries under the daemon (GLib's own domains: "GLib-GIO" on every bus
// connection, for one) stays out unless G_MESSAGES_DEBUG asks for it, as GLib's own writer does.
// The daemons' messages carry no domain and are all written.
bool library_debug_dropped(GLogLevelFlags level, const GLogField *fields, gsize n_fields) {
  if ((static_cast<unsigned>(level) & G_LOG_LEVEL_DEBUG) == 0)
    return false;
  for (gsize i = 0; i < n_fields; ++i) {
    if (fields[i].key != nullptr && std::strcmp(fields[i].key, "GLIB_DOMAIN") == 0 && fields[i].value != nullptr &&
        fields[i].length < 0)
      return g_log_writer_default_would_drop(level, static_cast<const char *>(fields[i].value));
  }
  return false;
}

GLogWriterOutput route_message(GLogLevelFlags level, const GLogField *fields, gsize n_fields,
                               gpointer user_data) {
  if (current.load() != route::glib_default && library_debug_dropped(level, fields, n_fields))
    return G_LOG_WRITER_HANDLED;
  switch (current.load()) {
  case route::to_stdout:
    write_line(message_of(fields, n_fields));
    return G_LOG_WRITER_HANDLED;
  case route::to_syslog:
    if (send_syslog(level, message_of(fields, n_fields)))
      return G_LOG_WRITER_HANDLED;
    return route_message(level, fields, n_fields, user_data);
  case route::glib_default:
    break;
  }
  return g_log_writer_default(level, fields, n_fields, user_data);
}

// The program's name as syslog shows it; empty when neither GLib nor the kernel knows it, and
// openlog() then falls back to the C library's own short name.
std::string program_name() {
  if (const char *prgname = g_get_prgname(); prgname != nullptr && *prgname != '\0')
    return prgname;
  std::array<char, 4096> path{};
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0)
    return {};
  const std::string_view exe(path.data(), static_cast<std::size_t>(n));
  const auto slash = exe.rfind('/');
  return std::string(slash == std::string_view::npos ? exe : exe.substr(slash + 1));
}

// Callers hold the lock.
void install_writer() {
  if (!writer_installed) {
    g_log_set_writer_func(route_message, nullptr, nullptr);
    writer_installed = true;
  }
}

void close_syslog() {
  if (syslog_open) {
    closelog();
    syslog_open = false;
  }
}

} // namespace

void vexo_log_stdout(void) {
  std::lock_guard guard(lock);
  install_writer();
  close_syslog();
  current.store(route::to_stdout);
}

void vexo_log_syslog(void) {
  std::lock_guard guard(lock);
  install_writer();
  close_syslog();
  syslog_ident = program_name();
  openlog(syslog_ident.empty() ? nullptr : syslog_ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog_open = true;
  current.store(route::to_syslog);
}

void vexo_log_cleanup(void) {
  std::lock_guard guard(lock);
  current.store(route::glib_default);
  close_syslog();
}
