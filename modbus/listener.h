// The gateway's listening socket.
#ifndef DIO_MODBUSD_LISTENER_H
#define DIO_MODBUSD_LISTENER_H

#include <stdexcept>

#include "socket_address.h"

namespace dio_modbusd {

// Could not listen; the message names the address, the error and a hint.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A non-blocking socket listening on address; *bound gets the address the
// kernel bound (the port it chose for port 0). Throws ListenError.
int OpenListener(const SocketAddress &address, SocketAddress *bound);

}  // namespace dio_modbusd

#endif
