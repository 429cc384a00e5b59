#include "dio_sim_board.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include "board_file.h"
#include "board_image.h"
#include "dio_sim_error.h"

namespace dio_sim {

namespace {

int OpenFile(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }
int CloseFile(int fd) { return close(fd); }
const varnik::FileCalls kFileCalls = {OpenFile, CloseFile};

// Usage, not failure: the file named is the wrong one, and nothing was
// done to it.
[[noreturn]] void LeaveItAlone(const char *why) {
  throw ToolError(kExitUsage, std::string(why) +
                                  "; dio-sim leaves it alone: remove it or name another file "
                                  "with --board");
}

[[noreturn]] void RefuseNotABoard(const std::string &path, const struct stat64 &st) {
  char why[PATH_MAX + 160];
  varnik::DescribeNotABoard(path.c_str(), st, why, sizeof why);
  LeaveItAlone(why);
}

// What took the path while the board was being made, or was there all
// along unseen: a symbolic link to nothing, another program's file.
[[noreturn]] void RefuseWhatIsThere(const std::string &path) {
  char why[2 * PATH_MAX + 160];
  varnik::DescribeWhatIsThere(path.c_str(), why, sizeof why);
  LeaveItAlone(why);
}

// True if a board is at path; false if nothing is; refuses anything else.
bool BoardIsThere(const std::string &path) {
  struct stat64 st;
  if (stat64(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    throw ToolError(kExitFailure, "cannot look at board file " + Quoted(path) + ": " +
                                      ErrnoText(errno));
  }
  if (!varnik::IsBoardFile(st)) RefuseNotABoard(path, st);
  return true;
}

void CreateBoard(const std::string &path) {
  if (varnik::CreateBoardFile(path.c_str(), kFileCalls) == 0) return;
  if (errno == EEXIST) RefuseWhatIsThere(path);
  throw ToolError(kExitFailure,
                  "cannot create board file " + Quoted(path) + ": " + ErrnoText(errno));
}

// Opens a board known to be there, and checks that what was opened is one.
UniqueFd OpenExistingBoard(const std::string &path) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0)
    throw ToolError(kExitFailure,
                    "cannot open board file " + Quoted(path) + ": " + ErrnoText(errno));
  struct stat64 st;
  if (fstat64(fd.get(), &st) != 0)
    throw ToolError(kExitFailure,
                    "cannot look at board file " + Quoted(path) + ": " + ErrnoText(errno));
  if (!varnik::IsBoardFile(st)) RefuseNotABoard(path, st);
  return fd;
}

}  // namespace

void MakeFreshBoard(const std::string &path) {
  if (!BoardIsThere(path)) return CreateBoard(path);
  UniqueFd fd = OpenExistingBoard(path);
  if (varnik::ResetBoardFile(fd.get()) != 0)
    throw ToolError(kExitFailure,
                    "cannot reset board file " + Quoted(path) + ": " + ErrnoText(errno));
}

void EnsureBoard(const std::string &path) {
  if (!BoardIsThere(path)) CreateBoard(path);
}

UniqueFd OpenBoard(const std::string &path) {
  EnsureBoard(path);
  return OpenExistingBoard(path);
}

}  // namespace dio_sim
