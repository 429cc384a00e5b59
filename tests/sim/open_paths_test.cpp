// Every way libc opens a path by name, on the physical memory device: each
// reaches the board file. The test runs with a guard preloaded behind the
// board (open_guard.c) that refuses and records any open of the device the
// board lets past, so that a call the board misses fails here and never
// reaches a real device.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "varnik_dio_sim.h"

namespace {

constexpr uint32_t kLeds = 0xFDAF0000;
constexpr size_t kPage = 4096;
constexpr int kFlags = O_RDWR | O_SYNC;
constexpr uint64_t kBoardSize = UINT64_C(0x100000000);
const char kDevice[] = "/dev/mem";

const std::string kOpenLine = "open flags=0x101002 pending=0";
const std::string kCloseLine = "close pending=0";

std::string MapLine(const char *call, uint32_t offset) {
  char line[128];
  std::snprintf(line, sizeof line,
                std::strcmp(call, "mmap") == 0
                    ? "mmap length=4096 prot=0x3 flags=0x1 offset=0x%x pending=0"
                    : "munmap length=4096 offset=0x%x pending=0",
                offset);
  return line;
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class OpenPathsTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    guard_log_ = dir_ + "/guard.log";
    setenv("VARNIK_OPEN_GUARD_LOG", guard_log_.c_str(), 1);
    guard_ = dlopen(VARNIK_OPEN_GUARD_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(guard_, nullptr) << "the open guard is not preloaded behind the board, as ctest "
                                  "does: without it a call the board misses would reach a "
                                  "real device";
  }

  void TearDown() override {
    if (guard_ != nullptr) dlclose(guard_);
    unsetenv("VARNIK_OPEN_GUARD_LOG");
    BoardTest::TearDown();
  }

  // The opens of the device that got past the board, one "FUNCTION PATH"
  // line each.
  std::vector<std::string> GuardLog() const {
    std::vector<std::string> lines;
    std::ifstream in(guard_log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  bool OnBoard(int fd) const {
    struct stat opened {};
    struct stat board {};
    return fd >= 0 && fstat(fd, &opened) == 0 && stat(board_path_.c_str(), &board) == 0 &&
           opened.st_dev == board.st_dev && opened.st_ino == board.st_ino;
  }

  // The board keeps its size and its registers whatever the open asked.
  void ExpectBoardIntact() const {
    struct stat st {};
    ASSERT_EQ(stat(board_path_.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), kBoardSize);
    EXPECT_EQ(Peek(kLeds + 1), 0x61);
  }

  std::string guard_log_;
  void *guard_ = nullptr;
};

}  // namespace

TEST_F(OpenPathsTest, TheGuardRefusesAndRecordsAnOpenOfTheDevice) {
  auto guard_creat = reinterpret_cast<int (*)(const char *, mode_t)>(dlsym(guard_, "creat"));
  ASSERT_NE(guard_creat, nullptr);
  errno = 0;
  EXPECT_EQ(guard_creat(kDevice, 0600), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(GuardLog(), (std::vector<std::string>{"creat /dev/mem"}));
}

TEST_F(OpenPathsTest, EveryDescriptorCallReachesTheBoard) {
  using Open = int (*)(const char *, int, ...);
  using Open2 = int (*)(const char *, int);
  using Openat = int (*)(int, const char *, int, ...);
  using Openat2 = int (*)(int, const char *, int);
  using Creat = int (*)(const char *, mode_t);
  using Mmap = void *(*)(void *, size_t, int, int, int, long);
  using Mmap64 = void *(*)(void *, size_t, int, int, int, long long);
  Poke(kLeds + 1, 0x61);
  const char *const names[] = {"open",       "open64",     "__open",     "__open64",
                               "__open_2",   "__open64_2", "openat",     "openat64",
                               "__openat_2", "__openat64_2"};
  for (const char *name : names) {
    SCOPED_TRACE(name);
    void *sym = dlsym(RTLD_DEFAULT, name);
    ASSERT_NE(sym, nullptr);
    int fd = std::strstr(name, "at") == nullptr
                 ? (std::strstr(name, "_2") ? reinterpret_cast<Open2>(sym)(kDevice, kFlags)
                                            : reinterpret_cast<Open>(sym)(kDevice, kFlags))
                 : (std::strstr(name, "_2")
                        ? reinterpret_cast<Openat2>(sym)(AT_FDCWD, kDevice, kFlags)
                        : reinterpret_cast<Openat>(sym)(AT_FDCWD, kDevice, kFlags));
    ASSERT_GE(fd, 0) << std::strerror(errno);
    auto map32 = reinterpret_cast<Mmap>(dlsym(RTLD_DEFAULT, "mmap"));
    auto map64 = reinterpret_cast<Mmap64>(dlsym(RTLD_DEFAULT, "mmap64"));
    void *a = map32(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                    static_cast<long>(kLeds));
    void *b = map64(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kLeds);
    ASSERT_NE(a, MAP_FAILED);
    ASSERT_NE(b, MAP_FAILED);
    EXPECT_EQ(static_cast<uint8_t *>(a)[1], 0x61);
    EXPECT_EQ(static_cast<uint8_t *>(b)[1], 0x61);
    EXPECT_EQ(munmap(a, kPage), 0);
    EXPECT_EQ(munmap(b, kPage), 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(Trace(), (std::vector<std::string>{kOpenLine, MapLine("mmap", kLeds),
                                                 MapLine("mmap", kLeds), MapLine("munmap", kLeds),
                                                 MapLine("munmap", kLeds), kCloseLine}));
    ClearTrace();
  }
  // creat opens the device write-only; what it would create or empty is
  // left alone.
  for (const char *name : {"creat", "creat64"}) {
    SCOPED_TRACE(name);
    const int fd = reinterpret_cast<Creat>(dlsym(RTLD_DEFAULT, name))(kDevice, 0600);
    EXPECT_TRUE(OnBoard(fd)) << std::strerror(errno);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(close(fd), 0);
  }
  ExpectBoardIntact();
  EXPECT_EQ(Trace(), (std::vector<std::string>{"open flags=0x241 pending=0", kCloseLine,
                                               "open flags=0x241 pending=0", kCloseLine}));
  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
  EXPECT_EQ(GuardLog(), std::vector<std::string>{});
}

TEST_F(OpenPathsTest, EveryStreamCallReachesTheBoardAndNeverEmptiesOrGrowsIt) {
  using Fopen = FILE *(*)(const char *, const char *);
  using Freopen = FILE *(*)(const char *, const char *, FILE *);
  Poke(kLeds + 1, 0x61);
  for (const char *name : {"fopen", "fopen64", "_IO_fopen"}) {
    for (const char *mode : {"r", "r+", "w", "a+", "we"}) {
      SCOPED_TRACE(std::string(name) + " " + mode);
      FILE *stream = reinterpret_cast<Fopen>(dlsym(RTLD_DEFAULT, name))(kDevice, mode);
      ASSERT_NE(stream, nullptr) << std::strerror(errno);
      EXPECT_TRUE(OnBoard(fileno(stream)));
      EXPECT_EQ(varnik_sim_open_descriptors(), 1u);
      EXPECT_EQ(fclose(stream), 0);
      EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
    }
  }
  // Appending writes where the device's stream is, at physical address 0.
  FILE *stream = fopen(kDevice, "a");
  ASSERT_NE(stream, nullptr) << std::strerror(errno);
  EXPECT_GE(std::fputs("ab", stream), 0);
  EXPECT_EQ(fclose(stream), 0);
  EXPECT_EQ(Peek(0), 'a');
  EXPECT_EQ(Peek(1), 'b');

  const std::string plain = dir_ + "/plain";
  for (const char *name : {"freopen", "freopen64"}) {
    SCOPED_TRACE(name);
    auto reopen = reinterpret_cast<Freopen>(dlsym(RTLD_DEFAULT, name));
    stream = fopen(plain.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    stream = reopen(kDevice, "r+", stream);
    ASSERT_NE(stream, nullptr) << std::strerror(errno);
    EXPECT_TRUE(OnBoard(fileno(stream)));
    EXPECT_EQ(varnik_sim_open_descriptors(), 1u);
    // Reopened in place, a stream on the device stays on it, unemptied.
    stream = reopen(nullptr, "w", stream);
    ASSERT_NE(stream, nullptr) << std::strerror(errno);
    EXPECT_TRUE(OnBoard(fileno(stream)));
    EXPECT_EQ(varnik_sim_open_descriptors(), 1u);
    stream = reopen(plain.c_str(), "r", stream);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
    EXPECT_EQ(fclose(stream), 0);
  }
  ExpectBoardIntact();
  const std::vector<std::string> trace = Trace();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), kCloseLine), 3 * 5 + 1 + 2 * 2);
  EXPECT_EQ(trace.size(), 2u * (3 * 5 + 1 + 2 * 2));
  EXPECT_EQ(GuardLog(), std::vector<std::string>{});
}

TEST_F(OpenPathsTest, ASpawnedProgramOpensTheBoardInPlaceOfTheDevice) {
  posix_spawn_file_actions_t actions;
  ASSERT_EQ(posix_spawn_file_actions_init(&actions), 0);
  ASSERT_EQ(posix_spawn_file_actions_addopen(&actions, 3, kDevice, O_RDONLY, 0), 0);
  // The spawned shell's descriptor 3 is the board file ($0).
  std::string shell = "sh";
  std::string command = "-c";
  std::string script = "test /proc/self/fd/3 -ef \"$0\"";
  char *argv[] = {shell.data(), command.data(), script.data(), board_path_.data(), nullptr};
  std::string path_variable = "PATH=/usr/bin:/bin";
  char *envp[] = {path_variable.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, envp), 0);
  EXPECT_EQ(Wait(pid), 0) << "the spawned program's descriptor 3 is not the board file";
  posix_spawn_file_actions_destroy(&actions);

  // Without a board the device does not exist, for a spawned program too.
  ASSERT_EQ(varnik_sim_set_board(nullptr), 0);
  ASSERT_EQ(posix_spawn_file_actions_init(&actions), 0);
  EXPECT_EQ(posix_spawn_file_actions_addopen(&actions, 3, kDevice, O_RDONLY, 0), ENOENT);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(GuardLog(), std::vector<std::string>{});
}
