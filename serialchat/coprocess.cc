#include "coprocess.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <pty.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace serialchat {
namespace {

[[noreturn]] void run_child(const char *cmd) {
  termios tio{};
  if (tcgetattr(STDIN_FILENO, &tio) == 0) {
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    tio.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    tcsetattr(STDIN_FILENO, TCSANOW, &tio);
  }
  execl(cmd, cmd, static_cast<char *>(nullptr));
  std::perror("execl");
  _exit(1);
}

} // namespace

bool coprocess_start(const char *cmd, coprocess &cp) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) {
    std::perror("forkpty");
    return false;
  }
  if (pid == 0)
    run_child(cmd);
  cp.pid = pid;
  if (dup2(master, STDIN_FILENO) < 0) {
    std::perror("dup2");
    close(master);
    return false;
  }
  cp.stream = fdopen(master, "a+");
  if (!cp.stream) {
    std::perror("fdopen");
    close(master);
    return false;
  }
  return true;
}

namespace {

// How long a coprocess may take to finish reading its answers after its end of input.
constexpr auto finish_grace = std::chrono::seconds(5);

// Tells the child that its input has ended, after the answers already written, and waits for it
// to exit while draining what it still writes (a full terminal would block it). Closing the
// master side at once would hang up the terminal, which throws away answers the child has not
// read yet. True when the child was reaped.
bool let_child_finish(coprocess &cp) {
  const int fd = fileno(cp.stream);
  termios tio{};
  if (fd < 0 || tcgetattr(fd, &tio) != 0 || (tio.c_lflag & ICANON) == 0)
    return false;
  const char eof = static_cast<char>(tio.c_cc[VEOF]);
  if (::write(fd, &eof, 1) != 1)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + finish_grace;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t r = waitpid(cp.pid, nullptr, WNOHANG);
    if (r == cp.pid || (r < 0 && errno != EINTR))
      return r == cp.pid;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 20);
    if (ready > 0 && (p.revents & POLLIN) != 0) {
      char sink[256];
      if (::read(fd, sink, sizeof sink) > 0)
        continue;
    }
    if (ready > 0)
      poll(nullptr, 0, 5); // hung up or failing: the child is on its way out

  }
  return false;
}

} // namespace

void coprocess_finish(coprocess &cp) {
  bool reaped = false;
  if (cp.stream) {
    std::fflush(cp.stream);
    if (cp.pid > 0)
      reaped = let_child_finish(cp);
    std::fclose(cp.stream);
    cp.stream = nullptr;
  }
  if (cp.pid > 0) {
    // Standard input is the other descriptor of the master side; the hang-up comes only when
    // both are closed.
    close(STDIN_FILENO);
    while (!reaped && waitpid(cp.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    cp.pid = -1;
  }
}

} // namespace serialchat
