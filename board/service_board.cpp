// A board held through the board service: one connection, said hello on,
// and the lock that keeps its round trips one at a time.
#include "service_board.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "board_internal.h"
#include "service_connection.h"

namespace varnik::board {

int OpenServiceBoard(const char *path, vdio_board **board) {
  int held_kind = 0;  // what the service holds; the board is the service's
  uint32_t version = 0;
  const int fd = ConnectToService(path, &held_kind, &version);
  if (fd < 0) return fd;
  auto *opened = static_cast<vdio_board *>(calloc(1, sizeof(vdio_board)));
  auto *service = static_cast<ServiceBoard *>(calloc(1, sizeof(ServiceBoard)));
  if (opened == nullptr || service == nullptr) {
    free(opened);
    free(service);
    close(fd);
    return -ENOMEM;
  }
  service->fd = fd;
  service->version = version;
  pthread_mutex_init(&service->lock, nullptr);
  memcpy(service->path, path, strlen(path) + 1);  // it fitted a socket address
  opened->kind = VDIO_DEVICE_SERVICE;
  opened->service = service;
  *board = opened;
  return 0;
}

void CloseServiceBoard(vdio_board *board) {
  ServiceBoard *service = board->service;
  close(service->fd);
  pthread_mutex_destroy(&service->lock);
  free(service);
  board->service = nullptr;
}

}  // namespace varnik::board
