// Opening a board on a board service's socket, against a stand-in service:
// the hello it is sent, and every answer that is not a service of this
// version serving is an error, never a board that returns garbage.
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "board_fixture.h"
#include "fake_service.h"
#include "varnik_dio_board.h"

namespace {

using varnik::wire::Message;

constexpr uid_t kNobody = 65534;

class HandshakeTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    socket_path_ = dir_ + "/board.sock";
  }

  // vdio_open on the socket: its result; *board untouched on failure.
  int Open() {
    vdio_board *board = reinterpret_cast<vdio_board *>(0x1);
    const int result = vdio_open(socket_path_.c_str(), &board);
    if (result == 0) {
      vdio_close(board);
    } else {
      EXPECT_EQ(board, reinterpret_cast<vdio_board *>(0x1)) << "*board set on failure";
    }
    return result;
  }

  // Open against a service that answers the hello with answer, then waits
  // for the client to close; no descriptor of the client's is left open.
  int OpenAnswered(const std::vector<uint8_t> &answer) {
    const unsigned descriptors = OpenDescriptors();
    int result;
    {
      FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
        FakeService::SendBytes(connection, answer);
        FakeService::Receive(connection);
      });
      result = Open();
    }
    EXPECT_EQ(OpenDescriptors(), descriptors) << "a descriptor left open";
    return result;
  }

  static std::vector<uint8_t> Bytes(const Message &message, size_t length) {
    std::vector<uint8_t> bytes(varnik::wire::kMessageSize);
    varnik::wire::Encode(message, bytes.data());
    bytes.resize(length, 0);
    return bytes;
  }

  std::string socket_path_;
};

TEST_F(HandshakeTest, TheHelloNamesTheProtocolVersionAndTheProgram) {
  std::vector<uint8_t> hello;
  {
    FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &bytes) {
      hello = bytes;
      FakeService::Send(connection, FakeService::HelloAnswer());
      FakeService::Receive(connection);
    });
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
    EXPECT_EQ(vdio_device_kind(board), VDIO_DEVICE_SERVICE);
    vdio_close(board);
  }
  ASSERT_EQ(hello.size(), varnik::wire::kHelloSize);
  const Message decoded = varnik::wire::Decode(hello.data());
  EXPECT_EQ(decoded.operation, varnik::wire::kHello);
  EXPECT_EQ(decoded.first, varnik::wire::kProtocolVersion);
  char name[varnik::wire::kNameSize];
  varnik::wire::DecodeHelloName(hello.data(), name);
  EXPECT_STREQ(name, program_invocation_short_name);
}

TEST_F(HandshakeTest, AServiceOfAnotherVersionIsEPROTO) {
  const size_t size = varnik::wire::kMessageSize;
  EXPECT_EQ(OpenAnswered(Bytes(FakeService::HelloAnswer(varnik::wire::kProtocolVersion + 1), size)), -EPROTO);
  Message refused = FakeService::HelloAnswer(varnik::wire::kProtocolVersion + 1);  // a newer service refusing us
  refused.status = -EPROTO;
  EXPECT_EQ(OpenAnswered(Bytes(refused, size)), -EPROTO);
  // A newer service's hello may be of another size: its version still tells.
  EXPECT_EQ(OpenAnswered(Bytes(FakeService::HelloAnswer(varnik::wire::kProtocolVersion + 1), size + 16)), -EPROTO);
}

TEST_F(HandshakeTest, AShortOrMalformedAnswerIsEPROTO) {
  const Message answer = FakeService::HelloAnswer();
  EXPECT_EQ(OpenAnswered(Bytes(answer, 10)), -EPROTO);
  EXPECT_EQ(OpenAnswered(Bytes(answer, varnik::wire::kMessageSize - 1)), -EPROTO);
  EXPECT_EQ(OpenAnswered(Bytes(answer, varnik::wire::kMessageSize + 1)), -EPROTO);
  Message other = answer;
  other.operation = varnik::wire::kGet;
  EXPECT_EQ(OpenAnswered(Bytes(other, varnik::wire::kMessageSize)), -EPROTO);
  Message no_errno = answer;
  no_errno.status = -5000;
  EXPECT_EQ(OpenAnswered(Bytes(no_errno, varnik::wire::kMessageSize)), -EPROTO);
  Message odd_device = answer;
  odd_device.second = 77;
  EXPECT_EQ(OpenAnswered(Bytes(odd_device, varnik::wire::kMessageSize)), -EPROTO);
}

TEST_F(HandshakeTest, AFullServiceIsEUSERSAndOneThatHangsUpIsECONNRESET) {
  Message full = FakeService::HelloAnswer();
  full.status = -EUSERS;
  EXPECT_EQ(OpenAnswered(Bytes(full, varnik::wire::kMessageSize)), -EUSERS);
  FakeService silent(socket_path_, [](int, const std::vector<uint8_t> &) {});
  EXPECT_EQ(Open(), -ECONNRESET);
}

// Replies that are no reply to the request: -EPROTO, never a level or a
// state made of them; a reply out of step ends the connection.
TEST_F(HandshakeTest, RepliesThatAreNotAnswersAreEPROTO) {
  FakeService service(socket_path_, [](int connection, const std::vector<uint8_t> &) {
    FakeService::Send(connection, FakeService::HelloAnswer());
    Message reply = FakeService::Receive(connection);  // get: a level of 7
    reply.status = 7;
    FakeService::Send(connection, reply);
    reply = FakeService::Receive(connection);  // read: bits beyond the LEDs
    reply.first = 1u << 20;
    FakeService::Send(connection, reply);
    reply = FakeService::Receive(connection);  // set: the reply to another request
    reply.operation = varnik::wire::kGet;
    FakeService::Send(connection, reply);
    FakeService::Receive(connection);
  });
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
  EXPECT_EQ(vdio_get(board, VDIO_DI0), -EPROTO);
  vdio_state state{0xAB, 0xCD, 0xEF};
  EXPECT_EQ(vdio_read(board, &state), -EPROTO);
  EXPECT_EQ(state.inputs, 0xAB);
  EXPECT_EQ(vdio_set(board, VDIO_DO0, 1), -EPROTO);
  EXPECT_EQ(vdio_set(board, VDIO_DO0, 1), -ENOTCONN);
  vdio_close(board);
}

void OnSignal(int) {}

// Signals while a reply is awaited only make the call wait on: these calls
// have no -EINTR. A reply that does not come at all ends the connection
// after the reply timeout (5 s) rather than hanging the caller.
TEST_F(HandshakeTest, ASlowReplyOutlastsSignalsAndAMissingOneLosesTheService) {
  FakeService service(socket_path_, [](int connection, const std::vector<uint8_t> &) {
    FakeService::Send(connection, FakeService::HelloAnswer());
    Message reply = FakeService::Receive(connection);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reply.status = 1;
    FakeService::Send(connection, reply);
    FakeService::AwaitClose(connection, 10);  // answered never: until the client gives up
  });
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
  // Under qemu-user (the i386 tests) a process that handled a signal can no
  // longer join a thread (EDEADLK): the reply is awaited without signals.
  const bool emulated = *VARNIK_TEST_LAUNCHER != '\0';
  struct sigaction action {};
  action.sa_handler = OnSignal;  // no SA_RESTART
  struct sigaction old {};
  if (!emulated) {
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  }
  const pthread_t caller = pthread_self();
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    while (!emulated && !done.load()) {
      pthread_kill(caller, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const int level = vdio_get(board, VDIO_DI0);
  done = true;
  interrupter.join();
  if (!emulated) sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(level, 1);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vdio_get(board, VDIO_DI0), -ECONNRESET);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(8));
  EXPECT_EQ(vdio_get(board, VDIO_DI0), -ENOTCONN);
  vdio_close(board);
}

TEST_F(HandshakeTest, ConnectErrorsComeBackAsTheyAre) {
  // A socket nobody listens on any more: the service's, left behind.
  const int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  close(stale);
  EXPECT_EQ(Open(), -ECONNREFUSED);
  // A user the socket's mode leaves out; root is not left out, so as root
  // the open is made by a child that is nobody.
  ASSERT_EQ(chmod(socket_path_.c_str(), 0), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(Open(), -EACCES);
    return;
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
    vdio_board *board = nullptr;
    _exit(vdio_open(socket_path_.c_str(), &board) == -EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot become user " << kNobody << " here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "nobody's open was not -EACCES";
}

// A socket deeper than a socket address can name: made from inside its
// folder, by a relative name.
TEST_F(HandshakeTest, ASocketPathLongerThanASocketAddressIsENAMETOOLONG) {
  std::string folder = dir_;
  while (folder.size() < sizeof(sockaddr_un::sun_path)) {
    folder += "/" + std::string(40, 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << std::strerror(errno);
  }
  const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  const int deep = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "board.sock");
  const int bound = bind(deep, reinterpret_cast<sockaddr *>(&address), sizeof address);
  ASSERT_EQ(fchdir(cwd), 0);
  close(cwd);
  ASSERT_EQ(bound, 0) << std::strerror(errno);
  socket_path_ = folder + "/board.sock";
  EXPECT_EQ(Open(), -ENAMETOOLONG);
  close(deep);
  unlink(socket_path_.c_str());
  for (; folder != dir_; folder = folder.substr(0, folder.rfind('/'))) rmdir(folder.c_str());
}

}  // namespace
