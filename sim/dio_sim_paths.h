// Where dio-sim's files are: the default board, absolute forms of paths the
// user gave, and the folders a default board needs.
#ifndef VARNIK_DIO_SIM_PATHS_H
#define VARNIK_DIO_SIM_PATHS_H

#include <string>

namespace dio_sim {

// VARNIK_SIM_BOARD if set and not empty, else
// $XDG_STATE_HOME/varnik_dio/board.img, XDG_STATE_HOME falling back to
// ~/.local/state when unset or not absolute.
std::string DefaultBoardPath();

// path as an absolute path, relative ones taken from the current folder.
std::string Absolute(const std::string &path);

// Creates the folders above path that are missing, private to the user as
// state folders are.
void MakeFoldersAbove(const std::string &path);

// The folder part of path ("/a/b" for "/a/b/c").
std::string FolderOf(const std::string &path);

// This program's own file, as the kernel started it.
std::string OwnExecutable();

bool Exists(const std::string &path);

}  // namespace dio_sim

#endif
