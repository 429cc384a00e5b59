// The inputs' state file: what it keeps comes back whole, and every file
// that is not whole and ours gives its reason and no figures.
#include "input_state_file.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "crc32.h"

namespace {

using dio_boardd::KeptInputs;
using dio_boardd::LoadInputState;
using dio_boardd::SaveInputState;

constexpr char kDevice[] = "/tmp/board one";

KeptInputs SomeFigures() {
  KeptInputs kept{};
  for (int n = 0; n < dio_boardd::kInputs; ++n)
    kept[n] = {100u + n, 99u + n, 1'000'000'007u * n, static_cast<uint32_t>(n % 4)};
  kept[7] = {UINT64_MAX, UINT64_MAX - 1, UINT64_MAX, VDIO_INPUT_ROSE | VDIO_INPUT_FELL};
  return kept;
}

class InputStateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/varnik_state.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
    path_ = dir_ + "/inputs.state";
  }
  void TearDown() override {
    for (const std::string &name : Files()) {
      const std::string file = dir_ + "/" + name;
      if (rmdir(file.c_str()) != 0) unlink(file.c_str());
    }
    rmdir(dir_.c_str());
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    if (DIR *dir = opendir(dir_.c_str())) {
      while (dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
          names.insert(entry->d_name);
      closedir(dir);
    }
    return names;
  }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void Write(const std::string &text) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
  }
  // The reason a load gives, or a failure if it gave figures.
  std::string Refusal(const std::string &device = kDevice) const {
    const auto loaded = LoadInputState(path_, device);
    if (loaded.index() == 0) {
      ADD_FAILURE() << "figures from a file that should be refused:\n" << Contents();
      return "";
    }
    return std::get<1>(loaded);
  }
  void SaveSome() const { ASSERT_EQ(SaveInputState(path_, kDevice, SomeFigures()), std::nullopt); }

  std::string dir_;
  std::string path_;
};

TEST_F(InputStateFileTest, KeepsEveryFigureOfItsDevice) {
  SaveSome();
  const auto loaded = LoadInputState(path_, kDevice);
  ASSERT_EQ(loaded.index(), 0u) << std::get<1>(loaded);
  EXPECT_EQ(std::get<0>(loaded), SomeFigures());
  struct stat st{};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Files(), std::set<std::string>{"inputs.state"});  // no temporary left
  std::istringstream lines(Contents());
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "varnik-dio input state 1");
  std::getline(lines, line);
  EXPECT_EQ(line, std::string("device ") + kDevice);
  std::getline(lines, line);
  EXPECT_EQ(line, "DI0 rising 100 falling 99 on_time_ns 0 latches 0");
}

TEST_F(InputStateFileTest, NamesWhyAFileIsNotUsed) {
  EXPECT_EQ(Refusal(), "no state file " + path_);
  SaveSome();
  EXPECT_EQ(Refusal("/dev/mem"),
            "state file " + path_ + " belongs to " + kDevice + ", not /dev/mem");
  const std::string saved = Contents();
  std::string other_version = saved;
  other_version.replace(other_version.find(" 1\n"), 3, " 2\n");
  Write(other_version);
  EXPECT_EQ(Refusal(),
            "state file " + path_ + " is of format version 2, this service reads version 1");
  std::string flipped = saved;
  const size_t digit = flipped.find("rising 103");
  flipped[digit + 9] = '4';
  Write(flipped);
  EXPECT_EQ(Refusal(), "state file " + path_ + " is corrupt (its CRC32 does not match)");
  Write(saved + std::string(9000, '#'));
  EXPECT_NE(Refusal().find("is larger than 8192 bytes"), std::string::npos);
  Write("DI0 rising 1\n");
  EXPECT_NE(Refusal().find("is not an input state file"), std::string::npos);
}

TEST_F(InputStateFileTest, RefusesEveryTruncationOfAGoodFile) {
  SaveSome();
  const std::string saved = Contents();
  // Cut at the start, the middle and the end of each line, its line break
  // left out: a file cut anywhere is cut at one of these or within a number.
  for (size_t start = 0; start < saved.size();) {
    const size_t end = saved.find('\n', start);
    for (const size_t size : {start, (start + end) / 2, end}) {
      Write(saved.substr(0, size));
      EXPECT_FALSE(Refusal().empty()) << "cut at " << size;
    }
    start = end + 1;
  }
}

TEST_F(InputStateFileTest, AFolderIsNeitherReadNorReplaced) {
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  EXPECT_EQ(Refusal(), "state file " + path_ + " is not a regular file");
  const auto failure = SaveInputState(path_, kDevice, SomeFigures());
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find(path_), std::string::npos) << *failure;
  EXPECT_NE(failure->find(std::strerror(EISDIR)), std::string::npos) << *failure;
  EXPECT_EQ(Files(), std::set<std::string>{"inputs.state"});
}

TEST_F(InputStateFileTest, ALeftoverOfASaveCutShortIsReplacedByTheNextSave) {
  std::ofstream(path_ + ".new") << "half a save";
  SaveSome();
  EXPECT_EQ(Files(), std::set<std::string>{"inputs.state"});
  EXPECT_EQ(LoadInputState(path_, kDevice).index(), 0u);
}

TEST_F(InputStateFileTest, AFailedSaveLeavesTheOldFileAndNoTemporary) {
  SaveSome();
  const std::string saved = Contents();
  // Files may grow to 100 bytes only: the write of the new one fails.
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  KeptInputs other{};
  other[3].rising = 12;
  const auto failure = SaveInputState(path_, kDevice, other);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find(path_), std::string::npos) << *failure;
  EXPECT_NE(failure->find(std::strerror(EFBIG)), std::string::npos) << *failure;
  EXPECT_EQ(Contents(), saved);
  EXPECT_EQ(Files(), std::set<std::string>{"inputs.state"});
}

TEST_F(InputStateFileTest, ADevicePathWithALineBreakIsNotSaved) {
  const auto failure = SaveInputState(path_, "/dev/mem\nDI0 rising 5", SomeFigures());
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find("line break"), std::string::npos) << *failure;
  EXPECT_TRUE(Files().empty());
}

TEST(Crc32Test, GivesTheStandardCheckValue) {
  EXPECT_EQ(dio_boardd::Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(dio_boardd::Crc32("", 0), 0u);
}

}  // namespace
