#include "token_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tool_messages.h"

namespace dio_webd {

using varnik::tools::UsageError;

namespace {

constexpr size_t kShortest = 32;
constexpr size_t kLongest = 256;

UsageError Refuse(const std::string &path, const std::string &why) {
  return UsageError("--token-file " + path + ": " + why);
}

// Opened without following a link at the end and without blocking on a
// FIFO, then checked on the descriptor itself: what is checked is what is
// read.
int OpenChecked(const std::string &path, struct stat *status) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ELOOP) throw Refuse(path, "a symbolic link; name the token file itself");
    throw Refuse(path, std::string(std::strerror(errno)) +
                           "; name a file the program's user can read");
  }
  if (fstat(fd, status) != 0 || !S_ISREG(status->st_mode)) {
    close(fd);
    throw Refuse(path, "not a regular file; name the file that holds the token");
  }
  if ((status->st_mode & 0007) != 0) {
    close(fd);
    throw Refuse(path, "others may read or change it; chmod o= " + path);
  }
  return fd;
}

std::string ReadAll(int fd, const std::string &path) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      close(fd);
      throw Refuse(path, std::string("cannot be read: ") + std::strerror(error));
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > kLongest + 1) break;  // too long already: no need for the rest
  }
  close(fd);
  return text;
}

void CheckToken(const std::string &path, const std::string &token) {
  if (token.find('\n') != std::string::npos)
    throw Refuse(path, "more than one line; write the token alone on one line");
  for (const char c : token)
    if (c <= ' ' || c > '~')
      throw Refuse(path, "the token has a space, a control character or a character beyond "
                         "ASCII; use printable ASCII only, as `openssl rand -hex 24` writes");
  if (token.size() < kShortest || token.size() > kLongest)
    throw Refuse(path, "the token has " + std::to_string(token.size()) +
                           " characters; give 32 to 256 (`openssl rand -hex 24` writes 48)");
}

}  // namespace

std::string ReadTokenFile(const std::string &path) {
  struct stat status {};
  const int fd = OpenChecked(path, &status);
  std::string token = ReadAll(fd, path);
  if (!token.empty() && token.back() == '\n') token.pop_back();
  CheckToken(path, token);
  return token;
}

bool TokensEqual(const std::string &a, const std::string &b) {
  const size_t longest = a.size() > b.size() ? a.size() : b.size();
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < longest; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference = static_cast<unsigned char>(difference | (x ^ y));
  }
  // Read through a volatile so the compiler cannot end the loop early.
  volatile unsigned char result = difference;
  return result == 0;
}

}  // namespace dio_webd
