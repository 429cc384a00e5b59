#include "static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace dio_webd {

namespace {

bool NameCharacter(char c, bool first) {
  if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return !first && (c == '.' || c == '_' || c == '-');
}

bool PlainName(const std::string &name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (!NameCharacter(name[i], i == 0)) return false;
  return true;
}

bool EndsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Closes its descriptor whatever way the reading ends.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

bool ReadWhole(int fd, size_t size, std::string *content) {
  content->resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, &(*content)[done], size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // shrunk under us, or an error
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

std::optional<std::string> StaticFileName(const std::string &raw_path) {
  if (raw_path == "/") return std::string("index.html");
  if (raw_path.size() < 2 || raw_path.front() != '/') return std::nullopt;
  const std::string name = raw_path.substr(1);
  if (!PlainName(name) || !ContentTypeOf(name)) return std::nullopt;
  return name;
}

std::optional<std::string> ContentTypeOf(const std::string &name) {
  static const std::pair<const char *, const char *> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".png", "image/png"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
  };
  for (const auto &[ending, type] : kTypes)
    if (EndsWith(name, ending)) return std::string(type);
  return std::nullopt;
}

std::optional<StaticFile> ReadStaticFile(const std::string &folder, const std::string &name) {
  const std::optional<std::string> type = ContentTypeOf(name);
  if (!PlainName(name) || !type) return std::nullopt;
  const Descriptor directory{open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd < 0) return std::nullopt;
  // O_NONBLOCK: a FIFO put in the folder must not hold the request thread.
  const Descriptor file{
      openat(directory.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return std::nullopt;
  struct stat status {};
  if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (static_cast<unsigned long long>(status.st_size) > kLargestStaticFile) return std::nullopt;
  StaticFile served{*type, {}};
  if (!ReadWhole(file.fd, static_cast<size_t>(status.st_size), &served.content)) return std::nullopt;
  return served;
}

}  // namespace dio_webd
