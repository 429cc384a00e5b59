// What the simulated board accepts as its board file. A file that is not a
// board, or a board file that cannot be opened, fails the program's open of
// the device with one line on standard error that names the file; the file
// itself is never written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "board_fixture.h"
#include "failing_fallocate.h"
#include "varnik_dio_sim.h"

namespace {

const char kDevice[] = "/dev/mem";
constexpr int kFlags = O_RDWR | O_SYNC;
constexpr uint32_t kRegisterPages[] = {0xFDAE0000, 0xFDAF0000};

// Standard error of this process, sent to a file while one of these lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string &path) : path_(path) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (saved_ < 0 || fd < 0 || dup2(fd, STDERR_FILENO) < 0)
      ADD_FAILURE() << "cannot capture stderr: " << std::strerror(errno);
    if (fd >= 0) close(fd);
  }
  ~StderrCapture() { Release(); }

  // What was written since the capture began; ends the capture.
  std::string Text() {
    Release();
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  void Release() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

struct OpenResult {
  int fd;
  int error;
  std::string stderr_text;
};

class BoardFileTest : public BoardTest {
 protected:
  // Opens the device as a driver does, with the board set to path.
  OpenResult OpenDeviceOn(const std::string &path) {
    EXPECT_EQ(varnik_sim_set_board(path.c_str()), 0) << std::strerror(errno);
    return OpenDevice();
  }

  // Opens the device as a driver does, on the board set before.
  OpenResult OpenDevice() {
    StderrCapture capture(dir_ + "/stderr");
    errno = 0;
    OpenResult result{open(kDevice, kFlags), errno, ""};
    result.stderr_text = capture.Text();
    if (result.fd >= 0) close(result.fd);
    return result;
  }

  // Only a regular file is the board's to remove; a device, a folder or a
  // FIFO named by mistake is left alone.
  std::string NotABoardLine(const std::string &path, const std::string &what) {
    const bool regular = what.compare(0, 4, "has ") == 0;
    return "varnik_dio_sim: board file \"" + path +
           "\" is not a board: a regular file of 4294967296 bytes is expected, this one " +
           what +
           (regular ? "; remove it and make a new one with dio-sim new\n"
                    : "; point VARNIK_SIM_BOARD at a board file (dio-sim new)\n");
  }

  void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
  }

  std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

}  // namespace

TEST_F(BoardFileTest, FilesThatAreNotBoardsAreRefusedUntouched) {
  // Too short: the first register access would be a bus error.
  const std::string short_file = dir_ + "/short";
  WriteFile(short_file, "twelve bytes");
  OpenResult r = OpenDeviceOn(short_file);
  EXPECT_EQ(r.fd, -1);
  EXPECT_EQ(r.error, EINVAL);
  EXPECT_EQ(r.stderr_text, NotABoardLine(short_file, "has 12 bytes"));
  EXPECT_EQ(ReadFile(short_file), "twelve bytes");

  // Large enough to map, but some other file: never written.
  const std::string large = dir_ + "/large";
  WriteFile(large, "");
  ASSERT_EQ(truncate(large.c_str(), 0x100001000LL), 0);
  r = OpenDeviceOn(large);
  EXPECT_EQ(r.fd, -1);
  EXPECT_EQ(r.error, EINVAL);
  EXPECT_EQ(r.stderr_text, NotABoardLine(large, "has 4294971392 bytes"));
  struct stat st {};
  ASSERT_EQ(stat(large.c_str(), &st), 0);
  EXPECT_EQ(st.st_blocks, 0) << "the large file was written";

  // A device is not even opened: an open alone can start something.
  r = OpenDeviceOn("/dev/null");
  EXPECT_EQ(r.error, EINVAL);
  EXPECT_EQ(r.stderr_text, NotABoardLine("/dev/null", "is a character device"));

  const std::string folder = dir_ + "/folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  r = OpenDeviceOn(folder);
  EXPECT_EQ(r.error, EISDIR);
  EXPECT_EQ(r.stderr_text, NotABoardLine(folder, "is a directory"));
  rmdir(folder.c_str());

  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  r = OpenDeviceOn(fifo);
  EXPECT_EQ(r.error, EINVAL);
  EXPECT_EQ(r.stderr_text, NotABoardLine(fifo, "is a FIFO"));

  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
  const std::string refused = "open flags=0x101002 pending=0 error=";
  EXPECT_EQ(Trace(), (std::vector<std::string>{refused + "22", refused + "22", refused + "22",
                                               refused + "21", refused + "22"}));
}

TEST_F(BoardFileTest, ABoardThatCannotBeOpenedOrMadeIsNamed) {
  // The board's folder is replaced by a plain file after the board was set.
  const std::string folder = dir_ + "/sub";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string board = folder + "/board";
  ASSERT_EQ(varnik_sim_set_board(board.c_str()), 0);
  ASSERT_EQ(unlink(board.c_str()), 0);
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  OpenResult r = OpenDevice();
  EXPECT_EQ(r.fd, -1);
  EXPECT_EQ(r.error, ENOENT);
  EXPECT_EQ(r.stderr_text,
            "varnik_dio_sim: cannot create board file \"" + board +
                "\": No such file or directory\n");

  WriteFile(folder, "not a folder");
  r = OpenDevice();
  EXPECT_EQ(r.error, ENOTDIR);
  EXPECT_EQ(r.stderr_text,
            "varnik_dio_sim: cannot open board file \"" + board + "\": Not a directory\n");
  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
}

TEST_F(BoardFileTest, ABoardCutShortAfterUseIsRefusedAtTheNextOpen) {
  int fd = open(kDevice, kFlags);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  close(fd);
  ASSERT_EQ(truncate(board_path_.c_str(), 4096), 0);
  OpenResult r = OpenDevice();
  EXPECT_EQ(r.fd, -1);
  EXPECT_EQ(r.error, EINVAL);
  EXPECT_EQ(r.stderr_text, NotABoardLine(board_path_, "has 4096 bytes"));
}

// A board file made by hand (truncate) has holes where its registers are.
// On a full file system the first access to them would end the program
// with a bus error: the open gives them their storage, or fails.
TEST_F(BoardFileTest, RegisterPagesThatAreHolesGetStorageOrTheOpenFails) {
  const std::string made = board_path_;
  const std::string holes = dir_ + "/holes";
  WriteFile(holes, "");
  ASSERT_EQ(truncate(holes.c_str(), 0x100000000LL), 0);
  if (!ReportsHoles(holes.c_str()))
    GTEST_SKIP() << "the file system of " << dir_ << " does not report holes (SEEK_DATA)";

  FailFallocate(ENOSPC);
  OpenResult r = OpenDeviceOn(holes);
  FailFallocate(0);
  EXPECT_EQ(r.fd, -1);
  EXPECT_EQ(r.error, ENOSPC);
  EXPECT_EQ(r.stderr_text,
            "varnik_dio_sim: board file \"" + holes +
                "\": its register pages are holes that its file system cannot fill: No space "
                "left on device; free some space there, or make a board elsewhere (dio-sim "
                "--board FILE new)\n");
  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);

  // With room, an open, even one for reading only, fills them; they read
  // as before.
  int fd = open(kDevice, O_RDONLY);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  close(fd);
  struct stat st {};
  ASSERT_EQ(stat(holes.c_str(), &st), 0);
  EXPECT_GE(st.st_blocks * 512, 2 * 4096) << "the register pages got no storage";
  board_path_ = holes;
  for (uint32_t page : kRegisterPages) EXPECT_EQ(Peek(page), 0);

  // A board made by the board has its pages written: it needs no more
  // storage, even where none is left.
  FailFallocate(ENOSPC);
  r = OpenDeviceOn(made);
  FailFallocate(0);
  EXPECT_EQ(r.error, 0) << r.stderr_text;
  EXPECT_EQ(r.stderr_text, "");
}
