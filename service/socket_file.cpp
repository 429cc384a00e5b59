#include "socket_file.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "start_error.h"

namespace dio_boardd {

namespace {

// Clients that connect at once wait in the kernel until the loop accepts.
constexpr int kBacklog = SOMAXCONN;

sockaddr_un AddressOf(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);  // length checked by the options
  return address;
}

[[noreturn]] void Fail(const std::string &message, int fd = -1) {
  if (fd >= 0) close(fd);
  throw StartError(message);
}

// Whether a service accepts connections at path: a connect that is refused
// means a socket file left behind by a service that is gone.
bool SomeoneListens(const std::string &path) {
  const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) Fail(std::string("cannot make a socket: ") + std::strerror(errno));
  const sockaddr_un address = AddressOf(path);
  const bool connected = connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
  const int error = errno;
  close(probe);
  if (connected) return true;
  if (error == ECONNREFUSED) return false;
  if (error == EPROTOTYPE) return true;  // a socket of another kind, and in use
  Fail("cannot tell whether a service serves " + path + ": " + std::strerror(error));
}

// Leaves the path free for bind, or says why it cannot be.
void ClaimPath(const std::string &path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    Fail("cannot look at " + path + ": " + std::strerror(errno));
  }
  if (!S_ISSOCK(status.st_mode))
    Fail(path + " exists and is not a socket; remove it or choose another --socket");
  if (SomeoneListens(path))
    Fail(path + " is served by a running service (dio-boardd?); stop it first or choose "
                "another --socket");
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    Fail("cannot remove the stale socket " + path + ": " + std::strerror(errno));
}

}  // namespace

SocketFile::SocketFile(const std::string &path) : path_(path) {
  ClaimPath(path);
  fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Fail(std::string("cannot make a socket: ") + std::strerror(errno));
  const sockaddr_un address = AddressOf(path);
  if (bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    const int error = errno;
    Fail("cannot bind " + path + ": " + std::strerror(error) +
             (error == ENOENT ? " (its folder does not exist)" : ""),
         std::exchange(fd_, -1));
  }
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0) {
    device_ = status.st_dev;
    inode_ = status.st_ino;
  }
}

void SocketFile::Listen() {
  if (listen(fd_, kBacklog) != 0)
    Fail("cannot listen on " + path_ + ": " + std::strerror(errno));  // the destructor cleans up
}

SocketFile::~SocketFile() {
  if (fd_ >= 0) close(fd_);
  // Another service may have replaced a file it took for stale: its socket
  // stays.
  struct stat status {};
  if (lstat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_)
    unlink(path_.c_str());
}

}  // namespace dio_boardd
