// The contents of a fresh board file and how one comes into being. Plain C++
// on libc alone: the simulated board and dio-sim both compile it, so a board
// made by either is the same.
#ifndef VARNIK_SIM_BOARD_IMAGE_H
#define VARNIK_SIM_BOARD_IMAGE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "board_file.h"
#include "varnik_pin_map.h"

namespace varnik {

// Both register bits set: every output released, every LED dark, every
// input inactive.
constexpr uint8_t kRegisterResetByte = kDrivenLevelBit | kSensedLevelBit;

// How the caller opens and closes files: the simulated board must reach
// libc's own open and close from inside its interposed ones.
struct FileCalls {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
};

// Creates a fresh board file at path unless something is there already. The
// board is built completely under a temporary name beside it, its register
// pages given their storage, and then linked into place, so that no program
// ever sees a board without its reset values; if another program links its
// board first, that one is kept. Returns 0, or -1 with errno set: EEXIST
// when what is at path is not a board (DescribeWhatIsThere says what).
int CreateBoardFile(const char *path, const FileCalls &calls);

// Makes the open board file fd fresh again in place: both register pages
// back to their reset bytes, and the rest of the address space zero where
// the file system can free it. Programs that have the board mapped see the
// change. Returns 0, or -1 with errno set.
int ResetBoardFile(int fd);

// Says why the file at path, which st describes, is not a board, e.g.
// `board file "/tmp/x" is not a board: a regular file of 4294967296 bytes
// is expected, this one has 12 bytes`. Returns the errno that an open of
// the device then fails with: EISDIR for a folder, EINVAL otherwise.
int DescribeNotABoard(const char *path, const struct stat64 &st, char *text, size_t size);

// Says what is at path in place of a board: DescribeNotABoard's text, or
// e.g. `board file "/tmp/b" is a symbolic link to "/gone", which does not
// exist`. Returns the errno an open of the device then fails with.
int DescribeWhatIsThere(const char *path, char *text, size_t size);

// "a FIFO", "a directory", ... for a file's mode.
const char *DescribeFileKind(mode_t mode);

}  // namespace varnik

#endif
