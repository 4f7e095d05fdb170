// A descriptor closed on every exit, for the platform code that opens one for a while.
#pragma once

#include <unistd.h>

class vos_fd_guard {
 public:
  explicit vos_fd_guard(int fd) noexcept : fd_(fd) {}
  vos_fd_guard(const vos_fd_guard&) = delete;
  vos_fd_guard& operator=(const vos_fd_guard&) = delete;
  ~vos_fd_guard() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const noexcept { return fd_; }
  // Closes now; @return the platform's result (0, or -1 with errno).
  int close_now() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};
