#include "socket_access.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "start_error.h"

namespace dio_boardd {

namespace {

constexpr mode_t kSocketMode = 0660;

}  // namespace

gid_t ResolveGroup(const std::string &name) {
  std::vector<char> buffer(16384);
  group entry{};
  group *found = nullptr;
  const int error = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found != nullptr) return entry.gr_gid;
  if (error != 0)
    throw StartError("--group " + name + ": cannot look up the group: " + std::strerror(error));
  throw StartError("--group " + name + ": no such group (create it with groupadd " + name +
                   ", or name the group of the socket's users with --group)");
}

void RestrictSocketToGroup(const std::string &path, gid_t group, const std::string &group_name) {
  // Under its unit (Group=) the file has the group already: no chown, which
  // the unit's system call filter refuses. -1: the owner stays; a user who
  // is in the group may give it its file.
  struct stat status {};
  const bool has_group = lstat(path.c_str(), &status) == 0 && status.st_gid == group;
  if (!has_group && chown(path.c_str(), static_cast<uid_t>(-1), group) != 0)
    throw StartError("cannot give " + path + " to group " + group_name + ": " +
                     std::strerror(errno) +
                     " (the service must run as root or as a member of the group)");
  if (chmod(path.c_str(), kSocketMode) != 0)
    throw StartError("cannot set the mode of " + path + ": " + std::strerror(errno));
}

}  // namespace dio_boardd
