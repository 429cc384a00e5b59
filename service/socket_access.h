// Who may use the service: the members of one group, through the socket
// file's group and mode.
#ifndef DIO_BOARDD_SOCKET_ACCESS_H
#define DIO_BOARDD_SOCKET_ACCESS_H

#include <sys/types.h>

#include <string>

namespace dio_boardd {

// The group's id; StartError when there is no such group.
gid_t ResolveGroup(const std::string &name);

// Gives the socket file at path the group and mode 0660 (the owner stays
// who runs the service: root under systemd). StartError when it cannot.
void RestrictSocketToGroup(const std::string &path, gid_t group, const std::string &group_name);

}  // namespace dio_boardd

#endif
