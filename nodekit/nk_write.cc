#include "nk_write.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "nk_timing.h"

int nk_write(NKCx *c, int *fd, const void *b, int s, std::uint64_t *ms_write) {
  const int target = fd ? *fd : STDOUT_FILENO;
  if (ms_write) {
    nk_t_start(c);
  }
  const auto *p = static_cast<const unsigned char *>(b);
  std::size_t left = s > 0 ? static_cast<std::size_t>(s) : 0;
  while (left > 0) {
    ssize_t n = write(target, p, left);
    if (n < 0) {
      if (errno == EINTR) {
        nk_log(c, LOG_WARNING, "EINTR Received");
        continue;
      }
      if (fd == nullptr) {
        nk_die(c, "Unable to write to stdout: %s. Aborting.", std::strerror(errno));
      }
      nk_log(c, LOG_ERR, "Write error: %s. Ceasing write.", std::strerror(errno));
      close(*fd);
      *fd = -1;
      if (ms_write) {
        nk_t_end(c, ms_write);
      }
      return 0;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (ms_write) {
    nk_t_end(c, ms_write);
  }
  return 1;
}
