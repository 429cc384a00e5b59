#include "dio_sim_paths.h"

#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "dio_sim_error.h"

namespace dio_sim {

namespace {

const char kBoardUnderState[] = "/varnik_dio/board.img";

std::string NonEmptyVariable(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string HomeFolder() {
  std::string home = NonEmptyVariable("HOME");
  if (!home.empty()) return home;
  if (const passwd *entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return entry->pw_dir;
  throw ToolError(kExitFailure,
                  "no place for the default board: HOME is not set and the user has no home "
                  "folder; give --board FILE");
}

}  // namespace

std::string DefaultBoardPath() {
  std::string board = NonEmptyVariable("VARNIK_SIM_BOARD");
  if (!board.empty()) return Absolute(board);
  // A relative XDG_STATE_HOME is not to be used.
  std::string state = NonEmptyVariable("XDG_STATE_HOME");
  if (state.empty() || state[0] != '/') state = HomeFolder() + "/.local/state";
  return Absolute(state + kBoardUnderState);
}

std::string Absolute(const std::string &path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr)
    throw ToolError(kExitFailure, "cannot find the current folder for " + Quoted(path) + ": " +
                                      ErrnoText(errno));
  return std::string(cwd) + "/" + path;
}

std::string FolderOf(const std::string &path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void MakeFoldersAbove(const std::string &path) {
  const std::string folder = FolderOf(path);
  if (folder == "/" || folder == "." || Exists(folder)) return;
  MakeFoldersAbove(folder);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw ToolError(kExitFailure,
                    "cannot create folder " + Quoted(folder) + ": " + ErrnoText(errno));
}

std::string OwnExecutable() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0)
    throw ToolError(kExitFailure, "cannot find dio-sim's own file in /proc/self/exe: " +
                                      ErrnoText(errno));
  return std::string(self, static_cast<size_t>(length));
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace dio_sim
