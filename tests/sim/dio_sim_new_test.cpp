// `dio-sim new` on a board that a program has mapped: the board is reset in
// place, so the program sees the reset through its mapping, as it would see
// a board's power cycle, and the file stays the same file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "board_registers.h"

namespace {

constexpr size_t kPage = 4096;
constexpr uint32_t kLowPage = 0x1000;

// Runs dio-sim with these arguments (under the emulator, if any); returns
// its exit status.
int RunDioSim(const std::vector<std::string> &arguments) {
  static constexpr const char *kLauncher = VARNIK_TEST_LAUNCHER;
  std::vector<std::string> words;
  if (*kLauncher != '\0') words.push_back(kLauncher);
  words.push_back(VARNIK_DIO_SIM_PROGRAM);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

volatile uint8_t *MapDevicePage(int fd, uint32_t page) {
  void *p = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, page);
  return p == MAP_FAILED ? nullptr : static_cast<volatile uint8_t *>(p);
}

}  // namespace

TEST_F(BoardTest, NewResetsAMappedBoardInPlace) {
  int fd = open("/dev/mem", O_RDWR | O_SYNC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  volatile uint8_t *gpio = MapDevicePage(fd, board::kGpioWindow);
  volatile uint8_t *leds = MapDevicePage(fd, board::kLedWindow);
  volatile uint8_t *low = MapDevicePage(fd, kLowPage);
  ASSERT_TRUE(gpio != nullptr && leds != nullptr && low != nullptr) << std::strerror(errno);
  gpio[board::kOutput[0] & 0xFFF] = board::kDriven;
  gpio[board::kInput[7] & 0xFFF] = board::kInputActive;
  leds[board::kLed[2] & 0xFFF] = board::kDriven;
  low[0x10] = 0x55;
  struct stat before {};
  ASSERT_EQ(stat(board_path_.c_str(), &before), 0);

  ASSERT_EQ(RunDioSim({"--board", board_path_, "new"}), 0);

  for (size_t i = 0; i < kPage; ++i) {
    ASSERT_EQ(gpio[i], 0x03) << "GPIO page byte " << i;
    ASSERT_EQ(leds[i], 0x03) << "LED page byte " << i;
  }
  EXPECT_EQ(low[0x10], 0) << "memory outside the registers kept what was written";
  struct stat after {};
  ASSERT_EQ(stat(board_path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the board was replaced, not reset";
  EXPECT_EQ(after.st_size, before.st_size);
  for (volatile uint8_t *p : {gpio, leds, low}) munmap(const_cast<uint8_t *>(p), kPage);
  close(fd);
}
