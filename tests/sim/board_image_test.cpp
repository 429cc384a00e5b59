// Making a board file when something else gets to its path first: a board
// another program made is kept, and anything else there is reported, never
// taken for a board.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "board_image.h"

namespace {

constexpr uint32_t kGpio = 0xFDAE0000;

// What happens at the board's path between the board being built under its
// temporary name and being linked into place.
void (*g_meanwhile)(const std::string &path);
std::string g_path;

int OpenFile(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }

int CloseThenIntrude(int fd) {
  const int result = close(fd);
  if (g_meanwhile != nullptr) g_meanwhile(g_path);
  return result;
}

const varnik::FileCalls kIntrudingCalls = {OpenFile, CloseThenIntrude};

class BoardImageTest : public BoardTest {
 protected:
  void TearDown() override {
    g_meanwhile = nullptr;
    BoardTest::TearDown();
  }

  // Makes a board at path while `meanwhile` takes the path; returns
  // CreateBoardFile's result, errno in error_.
  int CreateWhile(const std::string &path, void (*meanwhile)(const std::string &)) {
    g_path = path;
    g_meanwhile = meanwhile;
    errno = 0;
    const int result = varnik::CreateBoardFile(path.c_str(), kIntrudingCalls);
    error_ = errno;
    return result;
  }

  std::string WhatIsThere(const std::string &path) const {
    char text[8192];
    varnik::DescribeWhatIsThere(path.c_str(), text, sizeof text);
    return text;
  }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR *dir = opendir(dir_.c_str())) {
      while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  int error_ = 0;
};

}  // namespace

TEST_F(BoardImageTest, OnlyABoardAlreadyAtThePathCountsAsMade) {
  // Another program's board, linked first, is kept as it is.
  const std::string theirs = dir_ + "/theirs";
  EXPECT_EQ(CreateWhile(theirs,
                        [](const std::string &path) {
                          std::ofstream(path).close();
                          if (truncate(path.c_str(), 0x100000000LL) != 0) std::abort();
                        }),
            0);
  board_path_ = theirs;
  EXPECT_EQ(Peek(kGpio), 0) << "the other program's board was overwritten";

  // Another program's file that is not a board.
  const std::string notes = dir_ + "/notes";
  EXPECT_EQ(CreateWhile(notes, [](const std::string &path) { std::ofstream(path) << "notes"; }),
            -1);
  EXPECT_EQ(error_, EEXIST);
  EXPECT_EQ(WhatIsThere(notes),
            "board file \"" + notes +
                "\" is not a board: a regular file of 4294967296 bytes is expected, this one "
                "has 5 bytes");

  // A symbolic link to nothing, there all along.
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink((dir_ + "/nowhere").c_str(), link.c_str()), 0);
  EXPECT_EQ(CreateWhile(link, nullptr), -1);
  EXPECT_EQ(error_, EEXIST);
  EXPECT_EQ(WhatIsThere(link), "board file \"" + link + "\" is a symbolic link to \"" + dir_ +
                                   "/nowhere\", which does not exist");
  struct stat st {};
  EXPECT_NE(stat((dir_ + "/nowhere").c_str(), &st), 0) << "made through the link";
  // No temporary board is left behind in any case.
  EXPECT_EQ(Entries(), (std::vector<std::string>{"board", "link", "notes", "theirs", "trace"}));
}
