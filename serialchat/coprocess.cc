#include "coprocess.h"

#include <cerrno>
#include <pty.h>
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

void coprocess_finish(coprocess &cp) {
  if (cp.stream) {
    std::fclose(cp.stream);
    cp.stream = nullptr;
  }
  if (cp.pid > 0) {
    // Standard input is the other descriptor of the master side; the hang-up comes only when
    // both are closed.
    close(STDIN_FILENO);
    while (waitpid(cp.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    cp.pid = -1;
  }
}

} // namespace serialchat
