// Opening the board: the device is checked, then both register pages are
// mapped once and held until vdio_close; or, for the board service's
// socket, the service is connected to (service_board.cpp).
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "board_backing.h"
#include "board_file.h"
#include "board_internal.h"
#include "service_board.h"

// The registers lie above 2 GiB; a 32-bit file offset would turn them
// negative and map the wrong place. Build with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) >= 8, "varnik_dio_board needs 64-bit file offsets");

namespace {

using namespace varnik::board;

constexpr const char kDefaultDevice[] = "/dev/mem";

bool IsAcceptedDevice(const struct stat &st) {
  return varnik::IsMemoryDevice(st) || varnik::IsBoardFile(st);
}

// Another device is never opened: an open alone can start something (a
// watchdog, a modem line). A path that cannot be looked at is left to open,
// which reports why (or, under the simulated board, opens the board).
int CheckBeforeOpen(const char *path) {
  struct stat st;
  if (stat(path, &st) == 0 && !IsAcceptedDevice(st)) return -EINVAL;
  return 0;
}

// The file actually opened must be an accepted device too: the path may
// have been swapped since it was looked at, and a board file of the wrong
// size would fault on the first access beyond its end, as would one whose
// register pages are holes on a full file system (-ENOSPC).
// Its kind, or a negative errno value.
int CheckOpened(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  if (!IsAcceptedDevice(st)) return -EINVAL;
  if (S_ISREG(st.st_mode) && varnik::BackRegisterPages(fd) != 0) return -errno;
  return varnik::IsMemoryDevice(st) ? VDIO_DEVICE_MEMORY : VDIO_DEVICE_BOARD_FILE;
}

void UnmapPages(volatile uint8_t *const page[kWindowCount]) {
  for (int w = 0; w < kWindowCount; ++w)
    if (page[w] != nullptr) munmap(const_cast<uint8_t *>(page[w]), kPageLength);
}

int MapPages(int fd, volatile uint8_t *page[kWindowCount]) {
  for (int w = 0; w < kWindowCount; ++w) {
    void *p = mmap(nullptr, kPageLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                   static_cast<off_t>(kWindowBase[w]));
    if (p == MAP_FAILED) {
      const int error = errno;
      UnmapPages(page);
      return -error;
    }
    page[w] = static_cast<volatile uint8_t *>(p);
  }
  return 0;
}

// The descriptor, with *kind the device's kind.
int OpenDevice(const char *path, int *kind) {
  int result = CheckBeforeOpen(path);
  if (result != 0) return result;
  const int fd = open(path, O_RDWR | O_SYNC | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -errno;
  result = CheckOpened(fd);
  if (result < 0) {
    close(fd);
    return result;
  }
  *kind = result;
  return fd;
}

// The variable first, so that a program (or a test) can be pointed
// elsewhere. The service's socket, when there is one, with no fallback: a
// program must not bypass the board's owner while it restarts. The fixed
// path is the service's, whatever the library's install prefix.
const char *DefaultDevice() {
  const char *chosen = secure_getenv(VDIO_DEVICE_VARIABLE);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  struct stat st;
  if (lstat(VDIO_SERVICE_SOCKET, &st) == 0 && S_ISSOCK(st.st_mode)) return VDIO_SERVICE_SOCKET;
  return kDefaultDevice;
}

bool IsSocket(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

int OpenDirect(const char *path, vdio_board **board) {
  int kind = 0;
  const int fd = OpenDevice(path, &kind);
  if (fd < 0) return fd;
  volatile uint8_t *page[kWindowCount] = {};
  const int mapped = MapPages(fd, page);
  close(fd);  // the mappings hold the device; the descriptor is not needed
  if (mapped != 0) return mapped;
  auto *opened = static_cast<vdio_board *>(calloc(1, sizeof(vdio_board)));
  if (opened == nullptr) {
    UnmapPages(page);
    return -ENOMEM;
  }
  for (int w = 0; w < kWindowCount; ++w) opened->page[w] = page[w];
  opened->kind = kind;
  *board = opened;
  return 0;
}

}  // namespace

extern "C" int vdio_open(const char *device, vdio_board **board) {
  if (board == nullptr) return -EINVAL;
  const char *path = device != nullptr ? device : DefaultDevice();
  return IsSocket(path) ? OpenServiceBoard(path, board) : OpenDirect(path, board);
}

extern "C" void vdio_close(vdio_board *board) {
  if (board == nullptr) return;
  if (board->service != nullptr)
    CloseServiceBoard(board);
  else
    UnmapPages(board->page);
  free(board);
}

extern "C" int vdio_device_kind(const vdio_board *board) {
  return board != nullptr ? board->kind : -EINVAL;
}
