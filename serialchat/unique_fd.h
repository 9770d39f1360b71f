// Owner of one file descriptor: closed when the owner goes.
#pragma once

#include <unistd.h>
#include <utility>

namespace serialchat {

class unique_fd {
public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  unique_fd &operator=(unique_fd &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

} // namespace serialchat
