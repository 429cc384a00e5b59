// Internal to the project's tools; not a stable interface.
//
// The device a tool opens when none is named: the board library's own
// choice for vdio_open(NULL), spelled out so that the tool can name it in
// its messages.
#ifndef VARNIK_TOOLS_DEFAULT_DEVICE_H
#define VARNIK_TOOLS_DEFAULT_DEVICE_H

#include <string>

namespace varnik::tools {

// $VARNIK_DIO_DEVICE when set and not empty (ignored in a program run with
// raised privileges); else the board service's socket when that path is a
// socket (not followed if a link); else "/dev/mem".
std::string DefaultDevice();

// Whether device names the board service: its fixed socket path, even when
// nothing is there (the service is not running), or any socket.
bool IsServiceSocket(const std::string &device);

}  // namespace varnik::tools

#endif
