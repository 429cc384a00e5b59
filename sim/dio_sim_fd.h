// A file descriptor closed when it goes out of scope.
#ifndef VARNIK_DIO_SIM_FD_H
#define VARNIK_DIO_SIM_FD_H

#include <unistd.h>

namespace dio_sim {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace dio_sim

#endif
