#include "child_process.h"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace platform_test {
namespace {

std::string system_error(const char *what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void drain(std::array<int, 3> &fds, std::array<std::string *, 3> sinks) {
  std::array<pollfd, 3> polled{};
  for (;;) {
    nfds_t n = 0;
    std::array<std::size_t, 3> which{};
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i] < 0)
        continue;
      polled[n] = pollfd{fds[i], POLLIN, 0};
      which[n++] = i;
    }
    if (n == 0)
      return;
    if (poll(polled.data(), n, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    for (nfds_t k = 0; k < n; ++k) {
      if (polled[k].revents == 0)
        continue;
      std::array<char, 4096> buf{};
      const ssize_t got = read(polled[k].fd, buf.data(), buf.size());
      if (got > 0) {
        sinks[which[k]]->append(buf.data(), static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[which[k]]);
        fds[which[k]] = -1;
      }
    }
  }
}

} // namespace

void write_all(int fd, const std::string &text) {
  const char *p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

child_result run_child(const std::function<int(int report_fd)> &body) {
  child_result result;
  std::array<std::array<int, 2>, 3> pipes{};
  for (auto &p : pipes) {
    if (pipe(p.data()) != 0) {
      result.report = system_error("pipe");
      return result;
    }
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    result.report = system_error("fork");
    return result;
  }
  if (pid == 0) {
    dup2(pipes[0][1], STDOUT_FILENO);
    dup2(pipes[1][1], STDERR_FILENO);
    for (auto &p : pipes) {
      close(p[0]);
      if (&p != &pipes[2])
        close(p[1]);
    }
    int status = body(pipes[2][1]);
#if defined(__SANITIZE_ADDRESS__)
    if (__lsan_do_recoverable_leak_check() != 0 && status == 0)
      status = 1;
#endif
    _exit(status);
  }
  result.pid = pid;
  std::array<int, 3> reading{};
  for (std::size_t i = 0; i < pipes.size(); ++i) {
    close(pipes[i][1]);
    reading[i] = pipes[i][0];
  }
  drain(reading, {&result.out, &result.err, &result.report});
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  return result;
}

std::string enter_private_mounts() {
  const std::string advice = " (the mount namespace set-up of this test needs root)";
  if (unshare(CLONE_NEWNS) != 0)
    return system_error("unshare(CLONE_NEWNS)") + advice;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return system_error("making / recursively private") + advice;
  return {};
}

std::string mount_tmpfs(const char *dir) {
  if (mount("tmpfs", dir, "tmpfs", MS_NOSUID, "mode=0755,size=1m") != 0)
    return system_error((std::string("tmpfs over ") + dir).c_str());
  return {};
}

int capture_dev_log(std::string &why) {
  why = enter_private_mounts();
  if (!why.empty())
    return -1;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  std::string path = "/dev/log";
  struct stat st {};
  const bool have_dev_log = lstat("/dev/log", &st) == 0;
  if (have_dev_log) {
    // Bind beside it and lay ours over the machine's socket.
    char dir[] = "/tmp/vexolog-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      why = std::string("mkdtemp: ") + std::strerror(errno);
      return -1;
    }
    path = std::string(dir) + "/log";
  } else if (why = mount_tmpfs("/dev"); !why.empty()) {
    return -1;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
    why = "bind " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (have_dev_log && mount(path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
    why = std::string("bind mount over /dev/log: ") + std::strerror(errno);
    return -1;
  }
  if (have_dev_log) {
    // The mount keeps the socket reachable; the machine's /tmp keeps nothing of it.
    unlink(path.c_str());
    rmdir(path.substr(0, path.size() - 4).c_str());
  }
  return fd;
}

std::string collect_datagrams(int fd, int timeout_ms) {
  std::string all;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, timeout_ms) > 0) {
    std::array<char, 8192> buf{};
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0)
      break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[static_cast<std::size_t>(i)] == '\n')
        all += "\\n";
      else
        all += buf[static_cast<std::size_t>(i)];
    }
    all += '\n';
  }
  return all;
}

} // namespace platform_test
