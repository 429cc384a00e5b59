#include "board_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "varnik_dio_sim.h"

void BoardTest::SetUp() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/varnik_board.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  ASSERT_NE(mkdtemp(buffer.data()), nullptr) << std::strerror(errno);
  dir_ = buffer.data();
  board_path_ = dir_ + "/board";
  trace_path_ = dir_ + "/trace";
  ASSERT_EQ(varnik_sim_set_board(board_path_.c_str()), 0) << std::strerror(errno);
  ASSERT_EQ(varnik_sim_set_trace(trace_path_.c_str()), 0) << std::strerror(errno);
}

void BoardTest::TearDown() {
  varnik_sim_set_board(nullptr);
  varnik_sim_set_trace(nullptr);
  varnik_sim_fail(VARNIK_SIM_OPEN, 0, 0);
  varnik_sim_fail(VARNIK_SIM_MMAP, 0, 0);
  varnik_sim_fail(VARNIK_SIM_MUNMAP, 0, 0);
  if (dir_.empty()) return;
  // Tests may leave files of their own beside the board.
  if (DIR *dir = opendir(dir_.c_str())) {
    while (dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((dir_ + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(dir_.c_str());
}

uint8_t BoardTest::Peek(uint32_t address) const {
  uint8_t value = 0;
  int fd = open(board_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || pread(fd, &value, 1, static_cast<off_t>(address)) != 1)
    ADD_FAILURE() << "cannot read board byte 0x" << std::hex << address << ": "
                  << std::strerror(errno);
  if (fd >= 0) close(fd);
  return value;
}

void BoardTest::Poke(uint32_t address, uint8_t value) const {
  int fd = open(board_path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || pwrite(fd, &value, 1, static_cast<off_t>(address)) != 1)
    ADD_FAILURE() << "cannot write board byte 0x" << std::hex << address << ": "
                  << std::strerror(errno);
  if (fd >= 0) close(fd);
}

std::vector<std::string> BoardTest::Trace() const {
  std::vector<std::string> lines;
  std::ifstream in(trace_path_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void BoardTest::ClearTrace() const {
  if (truncate(trace_path_.c_str(), 0) != 0 && errno != ENOENT)
    ADD_FAILURE() << "cannot clear the trace: " << std::strerror(errno);
}

unsigned BoardTest::OpenDescriptors() {
  unsigned count = 0;
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

unsigned BoardTest::MappingsOf(const std::string &path) {
  std::ifstream maps("/proc/self/maps");
  unsigned count = 0;
  for (std::string line; std::getline(maps, line);)
    if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0)
      ++count;
  return count;
}
