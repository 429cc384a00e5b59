// Storage behind a board file's register pages. A board file is sparse: a
// register page that is a hole gets its storage only when a program first
// touches it through a mapping, and on a file system with no room left that
// program then ends with a bus error. So the two pages get their storage
// when a board is made, and again when one is opened if they have none: a
// full file system then fails the open with its errno, before any mapping.
// Plain libc, header only: the simulated board, dio-sim and the board
// library all use it.
#ifndef VARNIK_SIM_BOARD_BACKING_H
#define VARNIK_SIM_BOARD_BACKING_H

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include "board_file.h"

namespace varnik {

// False if [offset, offset + length) of fd holds a hole, or cannot be
// looked at. Leaves fd's file position as it was.
inline bool HasStorage(int fd, off64_t offset, off64_t length) {
  const off64_t position = lseek64(fd, 0, SEEK_CUR);
  const off64_t data = lseek64(fd, offset, SEEK_DATA);
  const off64_t hole = data == offset ? lseek64(fd, offset, SEEK_HOLE) : -1;
  if (position >= 0) lseek64(fd, position, SEEK_SET);
  return data == offset && hole >= offset + length;
}

inline bool RegisterPagesHaveStorage(int fd) {
  for (uint32_t base : kRegisterPages)
    if (!HasStorage(fd, base, kRegisterPageSize)) return false;
  return true;
}

// Gives each register page of the board file fd, open for writing, the
// storage it lacks; its bytes read as before. Returns 0, or -1 with errno
// set (ENOSPC or EDQUOT: no room for them). Where the file system has no
// fallocate, the pages are left as they are.
inline int BackRegisterPages(int fd) {
  for (uint32_t base : kRegisterPages) {
    if (HasStorage(fd, base, kRegisterPageSize)) continue;
    if (fallocate64(fd, FALLOC_FL_KEEP_SIZE, base, kRegisterPageSize) != 0 && errno != EOPNOTSUPP)
      return -1;
  }
  return 0;
}

}  // namespace varnik

#endif
