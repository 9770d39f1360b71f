// The GPIO line handle over sysfs: export and unexport, the attribute words, the value file.
#include "ugpio.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char *kGpioRoot = "/sys/class/gpio";

// Keeps errno across clean-up calls that may overwrite it.
class ErrnoKeeper {
public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper &) = delete;
  ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
  int saved_;
};

std::string line_path(unsigned int gpio, const char *attribute) {
  std::string path = std::string(kGpioRoot) + "/gpio" + std::to_string(gpio);
  if (attribute != nullptr) {
    path += '/';
    path += attribute;
  }
  return path;
}

// sysfs takes a whole attribute in one write; a short write means the word was not taken.
int write_word(int fd, const std::string &word) {
  ssize_t n;
  do {
    n = pwrite(fd, word.data(), word.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return -1;
  if (static_cast<size_t>(n) != word.size()) {
    errno = EIO;
    return -1;
  }
  return 0;
}

int write_file(const std::string &path, const std::string &word) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  int rc = write_word(fd, word);
  ErrnoKeeper keep;
  close(fd);
  return rc;
}

const char *edge_word(int edge) {
  switch (edge) {
  case UGPIO_EDGE_NONE:
    return "none";
  case UGPIO_EDGE_RISING:
    return "rising";
  case UGPIO_EDGE_FALLING:
    return "falling";
  case UGPIO_EDGE_BOTH:
    return "both";
  default:
    return nullptr;
  }
}

void close_fd(int &fd) {
  if (fd >= 0) {
    ErrnoKeeper keep;
    close(fd);
    fd = -1;
  }
}

} // namespace

struct ugpio {
  unsigned int gpio = 0;
  std::string label;
  int value_fd = -1;
  int direction_fd = -1;
  int edge_fd = -1;
};

namespace {

int open_attribute(const ugpio *g, const char *attribute) {
  return open(line_path(g->gpio, attribute).c_str(), O_RDWR | O_CLOEXEC);
}

// Writes through the kept descriptor when there is one, else opens the file for this write.
int write_attribute(const ugpio *g, int kept_fd, const char *attribute, const std::string &word) {
  if (kept_fd >= 0)
    return write_word(kept_fd, word);
  return write_file(line_path(g->gpio, attribute), word);
}

bool flags_valid(unsigned int flags) {
  constexpr unsigned int known = UGPIO_F_IN | UGPIO_F_INIT_HIGH | UGPIO_F_EDGE_MASK;
  if ((flags & ~known) != 0)
    return false;
  const unsigned int edge = (flags & UGPIO_F_EDGE_MASK) >> UGPIO_F_EDGE_SHIFT;
  if ((flags & UGPIO_F_IN) != 0)
    return (flags & UGPIO_F_INIT_HIGH) == 0 && edge_word(static_cast<int>(edge)) != nullptr;
  return edge == 0;
}

// Lines without interrupt capability have no edge file; for them "none" is already true.
int clear_edge(const ugpio *g) {
  if (write_attribute(g, g->edge_fd, "edge", "none") == 0 || errno == ENOENT)
    return 0;
  return -1;
}

int apply_flags(ugpio *g, unsigned int flags) {
  if ((flags & UGPIO_F_IN) == 0) {
    // The kernel refuses to turn a line with edge detection into an output.
    if (clear_edge(g) != 0)
      return -1;
    return ugpio_direction_output(g, (flags & UGPIO_F_INIT_HIGH) != 0 ? 1 : 0);
  }
  if (ugpio_direction_input(g) != 0)
    return -1;
  const int edge = static_cast<int>((flags & UGPIO_F_EDGE_MASK) >> UGPIO_F_EDGE_SHIFT);
  if (edge == UGPIO_EDGE_NONE)
    return clear_edge(g);
  return ugpio_set_edge(g, edge);
}

} // namespace

extern "C" {

ugpio_t *ugpio_request_one(unsigned int gpio, unsigned int flags, const char *label) {
  if (!flags_valid(flags)) {
    errno = EINVAL;
    return nullptr;
  }
  auto *g = new ugpio;
  g->gpio = gpio;
  if (label != nullptr)
    g->label = label;

  bool exported_here = false;
  if (access(line_path(gpio, nullptr).c_str(), F_OK) != 0) {
    if (errno != ENOENT || write_file(std::string(kGpioRoot) + "/export", std::to_string(gpio)) != 0) {
      ErrnoKeeper keep;
      delete g;
      return nullptr;
    }
    exported_here = true;
  }
  if (apply_flags(g, flags) != 0) {
    ErrnoKeeper keep;
    if (exported_here)
      write_file(std::string(kGpioRoot) + "/unexport", std::to_string(gpio));
    delete g;
    return nullptr;
  }
  return g;
}

int ugpio_open(ugpio_t *g) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (g->value_fd >= 0)
    return 0;
  g->value_fd = open_attribute(g, "value");
  return g->value_fd >= 0 ? 0 : -1;
}

int ugpio_full_open(ugpio_t *g) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // Only what this call opened is closed again on failure, so a handle keeps its earlier state.
  int *fds[] = {&g->value_fd, &g->direction_fd, &g->edge_fd};
  const char *names[] = {"value", "direction", "edge"};
  bool opened[3] = {false, false, false};
  for (size_t i = 0; i < 3; ++i) {
    if (*fds[i] >= 0)
      continue;
    *fds[i] = open_attribute(g, names[i]);
    if (*fds[i] < 0) {
      for (size_t j = 0; j < i; ++j)
        if (opened[j])
          close_fd(*fds[j]);
      return -1;
    }
    opened[i] = true;
  }
  return 0;
}

int ugpio_close(ugpio_t *g) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  close_fd(g->value_fd);
  close_fd(g->direction_fd);
  close_fd(g->edge_fd);
  return 0;
}

int ugpio_free(ugpio_t *g) {
  if (g == nullptr)
    return 0;
  ugpio_close(g);
  const int rc = write_file(std::string(kGpioRoot) + "/unexport", std::to_string(g->gpio));
  ErrnoKeeper keep;
  delete g;
  return rc;
}

int ugpio_direction_input(ugpio_t *g) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return write_attribute(g, g->direction_fd, "direction", "in");
}

int ugpio_direction_output(ugpio_t *g, int value) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return write_attribute(g, g->direction_fd, "direction", value != 0 ? "high" : "low");
}

int ugpio_set_edge(ugpio_t *g, int edge) {
  const char *word = edge_word(edge);
  if (g == nullptr || word == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return write_attribute(g, g->edge_fd, "edge", word);
}

int ugpio_get_value(ugpio_t *g) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (g->value_fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (lseek(g->value_fd, 0, SEEK_SET) < 0)
    return -1;
  char buf[8];
  ssize_t n;
  do {
    n = read(g->value_fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return -1;
  if (n == 0 || (buf[0] != '0' && buf[0] != '1')) {
    errno = EIO;
    return -1;
  }
  return buf[0] - '0';
}

int ugpio_set_value(ugpio_t *g, int value) {
  if (g == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (g->value_fd < 0) {
    errno = EBADF;
    return -1;
  }
  return write_word(g->value_fd, value != 0 ? "1" : "0");
}

int ugpio_fd(const ugpio_t *g) {
  return g != nullptr ? g->value_fd : -1;
}

unsigned int ugpio_gpio(const ugpio_t *g) {
  return g != nullptr ? g->gpio : 0;
}

const char *ugpio_label(const ugpio_t *g) {
  return g != nullptr ? g->label.c_str() : "";
}

} // extern "C"
