// Inside the board library: a connection to the board service (dio-boardd)
// on its Unix socket, the hello that starts it, and one request answered by
// one reply (service_wire.h).
#ifndef VARNIK_BOARD_SERVICE_CONNECTION_H
#define VARNIK_BOARD_SERVICE_CONNECTION_H

#include <pthread.h>
#include <sys/un.h>

#include "service_wire.h"

namespace varnik::board {

// How long a reply may take before the service counts as lost: generous,
// since the service answers from memory at once when it is alive.
constexpr int kReplyTimeoutMs = 5000;

// Connects to the service's socket at path and says hello as this program:
// the connected descriptor, or -ENAMETOOLONG (a path longer than a socket
// address holds), -EPROTO (a service of another version, or an answer that
// is not a hello), -EUSERS (the service is full), or connect's -errno.
// *device_kind is the kind of device the service holds.
// *version is the protocol version the connection speaks: this library's,
// or an older one of a service that refused this library's (it connects
// again in that one).
int ConnectToService(const char *path, int *device_kind, uint32_t *version);

// Room for any reply, and for a longer message than ours, to tell it from
// ours by its length.
constexpr size_t kReplyRoom = 512;
static_assert(wire::kInputStatsSize < kReplyRoom, "a reply must fit with room to spare");

// Sends request (wire::RequestSize bytes for its operation) on fd and waits
// for its reply into reply (kReplyRoom bytes), both retried when a signal
// interrupts them. 0 with reply filled; -EPROTO for a reply that is not one
// to this request (another operation or size, a status that is no errno);
// -ECONNRESET when the service closed the connection or did not answer
// within kReplyTimeoutMs.
int RoundTrip(int fd, const uint8_t *request, uint8_t *reply);

// Receives one message of a connection without waiting: 1 with *message
// filled, 0 when none is waiting, -ECONNRESET when the service closed the
// connection, -EPROTO for a message of another size.
int ReceiveWaiting(int fd, wire::Message *message);

// A status from the service is either what the call returns (a level, 0) or
// a negative errno value; anything below is no errno.
inline bool IsErrnoStatus(int32_t status) { return status < 0 && status >= -4095; }

// A board held through the service: the connection, shared by every thread
// that uses the board, one round trip at a time.
struct ServiceBoard {
  int fd;
  bool lost;  // the service went away: every later call is -ENOTCONN
  uint32_t version;  // of the protocol: claims need 2, input functions 3
  pthread_mutex_t lock;
  char path[sizeof(sockaddr_un::sun_path)];  // for watchers' own connections
};

// One round trip on the board's connection, under its lock: 0 with reply
// (kReplyRoom bytes) filled, or the round trip's error. A lost connection
// stays lost: -ENOTCONN from then on.
int Exchange(ServiceBoard *service, const uint8_t *request, uint8_t *reply);

// One request of kMessageSize bytes: the reply's status and, when reply is
// not NULL, the whole reply.
int Ask(ServiceBoard *service, const wire::Message &request, wire::Message *reply);

// One request of kMessageSize bytes whose reply is longer than a message:
// 0 with its bytes in reply (kReplyRoom bytes), or the round trip's error.
int AskForBytes(ServiceBoard *service, const wire::Message &request, uint8_t *reply);

}  // namespace varnik::board

#endif
