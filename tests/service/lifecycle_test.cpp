// dio-boardd's start and stop: its socket file (a stale one replaced, a
// live one or another file refused, its group and mode, removed at the
// stop only while it is its own), a missing group, systemd's notifications,
// every stop signal, and outputs changed by a program on the registers.
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "service_fixture.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;

// A Unix socket of the test's own at path: bound, then closed without ever
// listening (a service gone, its file left), or bound and held.
int BindSocket(const std::string &path, int type) {
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An abstract name (a leading NUL) is as long as its bytes.
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    ADD_FAILURE() << "cannot bind " << path << ": " << std::strerror(errno);
    return -1;
  }
  return fd;
}

ino_t InodeOf(const std::string &path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

class LifecycleTest : public ServiceTest {
 protected:
  // Runs a service that must fail to start: its exit status and log.
  std::pair<int, std::string> FailingStart(const std::vector<std::string> &args) {
    ServiceProcess failing(dir_, args);
    const int status = failing.WaitForExit(10);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, failing.Log()};
  }
};

TEST_F(LifecycleTest, AStaleSocketIsReplacedALiveOneAndOtherFilesAreRefused) {
  close(BindSocket(socket_path_, SOCK_SEQPACKET));
  Start();
  struct stat status {};
  ASSERT_EQ(lstat(socket_path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0660u);
  EXPECT_EQ(status.st_gid, getgid());
  Connect();

  const ino_t live = InodeOf(socket_path_);
  const auto [refused, log] = FailingStart(Arguments());
  EXPECT_EQ(refused, 1);
  EXPECT_NE(log.find(socket_path_ + " is served by a running service"), std::string::npos) << log;
  EXPECT_EQ(InodeOf(socket_path_), live) << "the live socket stays";
  Connect();

  ASSERT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  EXPECT_EQ(InodeOf(socket_path_), 0u) << "removed at the stop";

  std::ofstream(socket_path_) << "not a socket";
  const auto [not_socket, other_log] = FailingStart(Arguments());
  EXPECT_EQ(not_socket, 1);
  EXPECT_NE(other_log.find(socket_path_ + " exists and is not a socket"), std::string::npos)
      << other_log;
  std::ifstream left(socket_path_);
  std::string text;
  std::getline(left, text);
  EXPECT_EQ(text, "not a socket");
}

TEST_F(LifecycleTest, ASocketThatReplacedItsOwnIsLeftAtTheStop) {
  Start();
  ASSERT_EQ(unlink(socket_path_.c_str()), 0);
  const int other = BindSocket(socket_path_, SOCK_STREAM);
  const ino_t others = InodeOf(socket_path_);
  ASSERT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  EXPECT_EQ(InodeOf(socket_path_), others);
  close(other);
}

TEST_F(LifecycleTest, AMissingGroupStopsTheStartBeforeAnythingIsTouched) {
  const auto [status, log] = FailingStart(
      {"--device", board_path_, "--socket", socket_path_, "--group", "no-such-group-of-varnik"});
  EXPECT_EQ(status, 1);
  EXPECT_NE(log.find("--group no-such-group-of-varnik: no such group"), std::string::npos) << log;
  EXPECT_EQ(InodeOf(socket_path_), 0u);
}

// A datagram socket standing in for systemd's, and what it received.
class FakeNotifySocket {
 public:
  explicit FakeNotifySocket(const std::string &path) : fd_(BindSocket(path, SOCK_DGRAM)) {}
  ~FakeNotifySocket() { close(fd_); }
  std::string Next(double seconds) {
    timeval timeout{static_cast<time_t>(SlowSeconds(seconds)), 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[256];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
  }

 private:
  int fd_;
};

TEST_F(LifecycleTest, SystemdHearsReadyThenWatchdogPingsAtHalfItsTime) {
  // A path, then an abstract name ("@...", whose bytes start with a NUL).
  const std::string abstract = "@varnik-dio-test-" + std::to_string(getpid());
  for (const auto &[name, bound] :
       std::vector<std::pair<std::string, std::string>>{{dir_ + "/notify", dir_ + "/notify"},
                                                        {abstract, '\0' + abstract.substr(1)}}) {
    SCOPED_TRACE(name);
    FakeNotifySocket systemd(bound);
    Start({}, {"NOTIFY_SOCKET=" + name, "WATCHDOG_USEC=200000"});
    EXPECT_EQ(systemd.Next(5), "READY=1");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(systemd.Next(2), "WATCHDOG=1");
    EXPECT_EQ(systemd.Next(2), "WATCHDOG=1");
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(
                                                              static_cast<int>(SlowSeconds(1) * 1000)));
    ASSERT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  }
}

TEST_F(LifecycleTest, ThePowerOnLevelsAreWrittenBeforeSystemdHearsReady) {
  FakeNotifySocket systemd(dir_ + "/notify");
  service_ = std::make_unique<ServiceProcess>(
      dir_, Arguments({"--power-on-outputs", "0xa5", "--power-on-leds", "0x5"}),
      std::vector<std::string>{"NOTIFY_SOCKET=" + dir_ + "/notify"});
  ASSERT_EQ(systemd.Next(5), "READY=1") << service_->Log();
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(board_path_.c_str(), &board), 0);
  vdio_state state{};
  ASSERT_EQ(vdio_read(board, &state), 0);
  vdio_close(board);
  EXPECT_EQ(state.outputs, 0xA5);
  EXPECT_EQ(state.leds, 0x5);
  ASSERT_TRUE(service_->WaitServing());
  EXPECT_EQ(service_->LogLines("power-on levels written: DO0=1 DO1=0 DO2=1 DO3=0 DO4=0 DO5=1 "
                               "DO6=0 DO7=1 LED1=1 LED2=0 LED3=1")
                .size(),
            1u)
      << service_->Log();
}

TEST_F(LifecycleTest, EveryStopSignalStopsCleanlyAndRemovesTheSocket) {
  std::vector<std::pair<int, std::string>> signals = {
      {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},       {SIGTERM, "SIGTERM"}, {SIGQUIT, "SIGQUIT"},
      {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},     {SIGALRM, "SIGALRM"}, {SIGVTALRM, "SIGVTALRM"},
      {SIGPROF, "SIGPROF"}, {SIGIO, "SIGIO"},         {SIGPWR, "SIGPWR"},   {SIGXCPU, "SIGXCPU"},
      {SIGXFSZ, "SIGXFSZ"}};
  // qemu-user numbers its guest's real-time signals differently.
  if (!UnderEmulator()) signals.push_back({SIGRTMIN + 3, "SIGRTMIN+3"});
  for (const auto &[number, name] : signals) {
    SCOPED_TRACE(name);
    Start();
    auto client = Connect();
    ASSERT_EQ(client->Call(wire::Message{wire::kSet, 0, VDIO_DO5, 1, 0})->status, 0);
    const int status = service_->Stop(number, 10);
    ASSERT_TRUE(WIFEXITED(status)) << service_->Log();
    const bool requested = number == SIGHUP || number == SIGINT || number == SIGTERM;
    EXPECT_EQ(WEXITSTATUS(status), requested ? 0 : 128 + number);
    EXPECT_EQ(InodeOf(socket_path_), 0u);
    EXPECT_TRUE(client->ClosedWithin(5));
    EXPECT_EQ(service_->LogLines("stopped on " + name + "; outputs nobody claimed left as they are")
                  .size(),
              1u)
        << service_->Log();
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(board_path_.c_str(), &board), 0);
    EXPECT_EQ(vdio_get(board, VDIO_DO5), 1);
    vdio_close(board);
  }
}

TEST_F(LifecycleTest, AnOutputChangedOutsideTheServiceIsNamedOncePerMinute) {
  Start({"--interval", "5ms"});
  auto client = Connect();
  ASSERT_EQ(client->Call(wire::Message{wire::kSet, 0, VDIO_DO1, 1, 0})->status, 0);
  SetOutputOnBoard(3, 1);
  EXPECT_TRUE(service_->WaitForLog(
      "DO3 changed to 1 outside the service (a program driving the registers directly?)", 5))
      << service_->Log();
  for (int level : {0, 1, 0}) {
    SetOutputOnBoard(3, level);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_EQ(client->Call(wire::Message{wire::kSet, 0, VDIO_DO1, 0, 0})->status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(service_->LogLines("DO3 changed").size(), 1u) << service_->Log();
  EXPECT_EQ(service_->LogLines("DO1 changed").size(), 0u) << "the service's own writes";
}

// Whether a process of a uid and gid of no account, with group as its
// supplementary group when in_group, may connect to the socket.
bool NobodyConnects(const std::string &path, gid_t group, bool in_group) {
  const pid_t child = fork();
  if (child == 0) {
    const unsigned stranger = 54321;
    if (setgroups(in_group ? 1 : 0, &group) != 0 || setgid(stranger) != 0 || setuid(stranger) != 0)
      _exit(2);
    WireClient client(path);
    _exit(client.connected() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(LifecycleTest, OnlyTheGroupsMembersReachTheSocket) {
  if (geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
  // A group other than root's, so that the socket must be given to it.
  const group *other = getgrnam("nogroup");
  if (other == nullptr) GTEST_SKIP() << "no group nogroup to give the socket to";
  const gid_t members = other->gr_gid;
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // the folder open to all: the socket decides
  Start({"--group", "nogroup"});
  EXPECT_FALSE(NobodyConnects(socket_path_, getgid(), false));
  EXPECT_FALSE(NobodyConnects(socket_path_, getgid(), true)) << "root's group is not the one";
  EXPECT_TRUE(NobodyConnects(socket_path_, members, true));
}

}  // namespace

// CPU seconds (user and system) the process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index)
    if (index >= 14) ticks += std::stod(field);  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(LifecycleTest, OutOfDescriptorsItWaitsRatherThanSpinsAndServesThoseItHas) {
  Start({"--max-clients", "100"});
  auto served = Connect("served");
  const rlimit few{24, 24};
  ASSERT_EQ(prlimit(service_->pid(), RLIMIT_NOFILE, &few, nullptr), 0) << std::strerror(errno);
  std::vector<std::unique_ptr<WireClient>> waiting;
  for (int i = 0; i < 60; ++i) waiting.push_back(std::make_unique<WireClient>(socket_path_));
  ASSERT_TRUE(service_->WaitForLog("cannot accept", 5)) << service_->Log();
  const double before = CpuSeconds(service_->pid());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(CpuSeconds(service_->pid()) - before, 0.5) << "of 2 s";
  EXPECT_LE(service_->LogLines("cannot accept").size(), 2u);
  const auto reply = served->Call(Request(wire::kRead));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 0);
}

// Whether the process is gone: no longer there, or a zombie.
bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
}

TEST_F(LifecycleTest, ATestThatDiesTakesItsServiceAlong) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t test = fork();
  if (test == 0) {  // a test that ends without its cleanup, as a crash does
    ServiceProcess service(dir_, Arguments());
    const pid_t pid = service.WaitServing() ? service.pid() : -1;
    (void)!write(pipe_fds[1], &pid, sizeof pid);
    _exit(0);
  }
  close(pipe_fds[1]);
  pid_t service = -1;
  ASSERT_EQ(read(pipe_fds[0], &service, sizeof service), static_cast<ssize_t>(sizeof service));
  close(pipe_fds[0]);
  waitpid(test, nullptr, 0);
  ASSERT_GT(service, 0) << "the service did not start";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(SlowSeconds(5));
  while (!Gone(service) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(Gone(service));
  if (!Gone(service)) kill(service, SIGKILL);
}
