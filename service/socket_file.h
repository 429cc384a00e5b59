// The service's socket file: claimed at start (a stale socket replaced, a
// live one or anything else left alone), bound, then listening once its
// owner restricted it, and removed at the stop only while it is still the
// one this service bound.
#ifndef DIO_BOARDD_SOCKET_FILE_H
#define DIO_BOARDD_SOCKET_FILE_H

#include <sys/types.h>

#include <string>

namespace dio_boardd {

class SocketFile {
 public:
  // Binds a non-blocking SOCK_SEQPACKET socket at path, not listening yet.
  // StartError when the path is served by a live service, is not a socket
  // or cannot be bound; a socket nobody accepts on is replaced.
  explicit SocketFile(const std::string &path);
  // Accepts connections from now on: only once the file's group and mode
  // are set, so that no one outside the group connects in between.
  // StartError when it cannot.
  void Listen();
  // Closes the socket and removes the file, if it is still ours.
  ~SocketFile();
  SocketFile(const SocketFile &) = delete;
  SocketFile &operator=(const SocketFile &) = delete;

  int fd() const { return fd_; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace dio_boardd

#endif
