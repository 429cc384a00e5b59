#include "password_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "tool_messages.h"

namespace dio_mqttd {

using varnik::tools::UsageError;

std::string ReadPasswordFile(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
    throw UsageError("--password-file " + path + ": not a regular file; name the file that "
                     "holds the password");
  std::ifstream file(path);
  if (!file)
    throw UsageError("--password-file " + path + ": " + std::strerror(errno) +
                     "; name a file the program's user can read");
  std::string password;
  std::getline(file, password);
  if (file.bad())
    throw UsageError("--password-file " + path + ": cannot be read; name a regular file");
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty())
    throw UsageError("--password-file " + path +
                     ": its first line is empty; write the password on it");
  return password;
}

bool ReadableByOthers(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0;
}

}  // namespace dio_mqttd
