#include "chat.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

namespace serialchat {
namespace {

// Elapsed time stamps and deadlines use the monotonic clock, so that a wall-clock step while
// the program runs neither fires nor stretches a timeout.
std::int64_t elapsed(const chat &c, std::int64_t t) { return t - c.start_time_us; }

bool write_all(int fd, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // The port is non-blocking; a full output queue means wait, not fail.
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR)
        return false;
      continue;
    }
    return false;
  }
  return true;
}

timeval to_timeval(std::int64_t us) {
  timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(us / 1000000);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>(us % 1000000);
  return tv;
}

enum class line_status { line, end, error, too_long };

// One line of at most line_buffer_size - 1 characters, without its line feed. A longer line is
// consumed whole and reported, so that its tail is never taken for an instruction of its own.
line_status read_line(std::FILE *in, bool coproc, char (&buf)[line_buffer_size], std::size_t &len) {
  len = 0;
  bool overflow = false;
  bool any = false;
  int ch;
  while ((ch = std::getc(in)) != EOF) {
    any = true;
    if (ch == '\n')
      break;
    if (len < line_buffer_size - 1)
      buf[len++] = static_cast<char>(ch);
    else
      overflow = true;
  }
  buf[len] = '\0';
  if (!any) {
    // A coprocess that exits hangs up its terminal; the master side then reports EIO, which is
    // the coprocess's end of input.
    if (std::ferror(in) && !(coproc && errno == EIO))
      return line_status::error;
    return line_status::end;
  }
  return overflow ? line_status::too_long : line_status::line;
}

void print_parse_error(chat &c, std::string_view line) {
  std::fputs("parse error on line: \"", c.err_file);
  std::fwrite(line.data(), 1, line.size(), c.err_file);
  std::fprintf(c.err_file, "\"%s", c.style.eol);
  std::fflush(c.err_file);
}

} // namespace

std::int64_t monotonic_now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

chat_result chat_send(chat &c, const instruction &ins) {
  if (!write_all(c.port_fd, ins.bytes())) {
    std::perror("write port");
    return chat_result::failed;
  }
  c.last_event_us = monotonic_now_us();
  if (!c.quiet && c.print_sent)
    print_line(stdout, c.style, elapsed(c, c.last_event_us), ins.bytes(), ins.mode, label_send);
  return chat_result::next;
}

chat_result chat_read(chat &c, const instruction &ins) {
  const std::size_t len = ins.length;
  const std::int64_t deadline = c.last_event_us + static_cast<std::int64_t>(ins.time_ms) * 1000;
  bool first = true;
  bool watch_port = true;
  for (;;) {
    std::int64_t now = monotonic_now_us();
    if (now >= deadline)
      break;

    // Nothing can be read into a full buffer, and a port that failed is left alone until the
    // deadline instead of being polled in a tight loop.
    bool can_read = watch_port && !c.rx.full();
    timeval tv = (first && c.rx.size() >= len) ? timeval{} : to_timeval(deadline - now);
    first = false;
    fd_set readable;
    FD_ZERO(&readable);
    if (can_read)
      FD_SET(c.port_fd, &readable);
    int nfds = can_read ? c.port_fd + 1 : 0;
    timeval asked = tv;
    int r = select(nfds, can_read ? &readable : nullptr, nullptr, nullptr, &tv);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      int e = errno;
      std::fprintf(stderr, "select(%d, %p, NULL, NULL, %ld:%.6ld): %s\n", nfds,
                   static_cast<void *>(&readable), static_cast<long>(asked.tv_sec),
                   static_cast<long>(asked.tv_usec), std::strerror(e));
      return chat_result::failed_now;
    }
    if (r > 0 && can_read && FD_ISSET(c.port_fd, &readable)) {
      auto space = c.rx.free_space();
      ssize_t n = ::read(c.port_fd, space.data(), space.size());
      if (n > 0) {
        c.rx.added(static_cast<std::size_t>(n));
      } else if (n == 0) {
        watch_port = false; // hung up: no more bytes will come this time
      } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        std::perror("read port");
        watch_port = false;
      }
    }

    if (c.rx.size() < len || ins.read_timeout)
      continue;
    auto at = c.rx.find(ins.bytes(), ins.mask_bytes());
    if (!at) {
      if (c.rx.full()) {
        // No match can start in the bytes before the last len-1; let them go so that the
        // answer can still come in.
        std::size_t stale = c.rx.size() - len + 1;
        if (c.print_unexpected && !c.quiet)
          print_line(stdout, c.style, elapsed(c, monotonic_now_us()), c.rx.contents().first(stale), ins.mode,
                     label_unexpected);
        c.rx.consume(stale);
      }
      continue;
    }

    const std::size_t i = *at;
    now = monotonic_now_us();
    auto matched = c.rx.contents().subspan(i, len);
    if (i > 0 && c.print_unexpected && !c.quiet)
      print_line(stdout, c.style, elapsed(c, now), c.rx.contents().first(i), ins.mode, label_unexpected);
    if (c.coproc)
      print_line(c.coproc, c.style, std::nullopt, matched, ins.mode, nullptr);
    if (!c.quiet)
      print_line(stdout, c.style, elapsed(c, now), matched, ins.mode, nullptr);
    c.rx.consume(i + len);
    c.last_event_us = now;
    return chat_result::next;
  }

  const std::int64_t now = monotonic_now_us();
  c.last_event_us = now;
  if (c.rx.empty() && ins.read_timeout) {
    print_line(stdout, c.style, elapsed(c, now), {}, ins.mode, label_empty);
    return chat_result::next;
  }
  if (!c.rx.empty() && c.print_unexpected && !c.quiet)
    print_line(stdout, c.style, elapsed(c, now), c.rx.contents(), ins.mode, label_unexpected);
  print_timeout(c.err_file, c.style, elapsed(c, now), ins);
  return c.cont ? chat_result::next : chat_result::failed;
}

void chat_wait(const instruction &ins) {
  timespec left{};
  left.tv_sec = static_cast<time_t>(ins.time_ms / 1000);
  left.tv_nsec = static_cast<long>(ins.time_ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

chat_result chat_run(chat &c, std::FILE *in) {
  char buf[line_buffer_size];
  for (;;) {
    std::size_t len = 0;
    line_status ls = read_line(in, c.coproc != nullptr, buf, len);
    if (ls == line_status::end)
      return chat_result::done;
    if (ls == line_status::error) {
      std::fprintf(c.err_file, "read error from stdin!%s", c.style.eol);
      std::fflush(c.err_file);
      return chat_result::failed;
    }
    std::string_view line = strip_line_end({buf, len});
    instruction ins;
    if (ls == line_status::too_long) {
      if (line[0] == '#')
        continue;
      print_parse_error(c, line);
      return chat_result::failed;
    }
    parse_status ps = parse_instruction(line, ins);
    if (ps == parse_status::skip)
      continue;
    if (ps == parse_status::error) {
      print_parse_error(c, line);
      return chat_result::failed;
    }
    chat_result r = chat_result::next;
    switch (ins.kind) {
    case instruction_kind::send:
      r = chat_send(c, ins);
      break;
    case instruction_kind::read:
      r = chat_read(c, ins);
      break;
    case instruction_kind::wait:
      chat_wait(ins);
      break;
    }
    if (r != chat_result::next)
      return r;
  }
}

} // namespace serialchat
