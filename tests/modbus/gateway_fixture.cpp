#include "gateway_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "board_registers.h"

ModbusClient::ModbusClient(int port, int unit) : context_(modbus_new_tcp("127.0.0.1", port)) {
  if (context_ == nullptr) return;
  modbus_set_slave(context_, unit);
  const double timeout = SlowMachineSeconds(3);
  modbus_set_response_timeout(context_, static_cast<uint32_t>(timeout),
                              static_cast<uint32_t>((timeout - static_cast<uint32_t>(timeout)) * 1e6));
  connected_ = modbus_connect(context_) == 0;
}

ModbusClient::~ModbusClient() {
  if (context_ == nullptr) return;
  modbus_close(context_);
  modbus_free(context_);
}

int ModbusClient::local_port() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(modbus_get_socket(context_), reinterpret_cast<sockaddr *>(&address), &length) != 0)
    return -1;
  return ntohs(address.sin_port);
}

int ExceptionOf(int result) {
  if (result >= 0) return 0;
  if (errno > MODBUS_ENOBASE && errno <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET)
    return errno - MODBUS_ENOBASE;
  return -1;
}

int ConnectRaw(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::vector<uint8_t> &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t put = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) return false;
    sent += static_cast<size_t>(put);
  }
  return true;
}

PeerResponse AwaitResponse(int fd, double seconds, std::vector<uint8_t> *bytes) {
  pollfd entry = {fd, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(SlowMachineSeconds(seconds) * 1000)) <= 0)
    return PeerResponse::kSilent;
  uint8_t buffer[512];
  const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
  if (got <= 0) return PeerResponse::kClosed;  // 0, or ECONNRESET
  if (bytes != nullptr) bytes->assign(buffer, buffer + got);
  return PeerResponse::kBytes;
}

void GatewayTest::SetUp() {
  BoardTest::SetUp();
  MakeBoardFile(board_path_);
}

void GatewayTest::TearDown() {
  gateway_.reset();
  BoardTest::TearDown();
}

GatewayProcess &GatewayTest::Start(const std::vector<std::string> &args) {
  std::vector<std::string> all = {"--device", board_path_};
  all.insert(all.end(), args.begin(), args.end());
  gateway_ = std::make_unique<GatewayProcess>(dir_, all);
  EXPECT_TRUE(gateway_->WaitListening()) << "dio-modbusd did not listen; its log:\n"
                                         << gateway_->Log();
  return *gateway_;
}

std::unique_ptr<ModbusClient> GatewayTest::Connect(int unit) const {
  auto client = std::make_unique<ModbusClient>(gateway_->port(), unit);
  EXPECT_TRUE(client->connected()) << "cannot connect to port " << gateway_->port();
  return client;
}

uint8_t GatewayTest::OutputsOnBoard() const {
  uint8_t mask = 0;
  for (int i = 0; i < 8; ++i)
    if (Peek(board::kOutput[i]) == board::kDriven) mask |= static_cast<uint8_t>(1u << i);
  return mask;
}

uint8_t GatewayTest::LedsOnBoard() const {
  uint8_t mask = 0;
  for (int i = 0; i < 3; ++i)
    if (Peek(board::kLed[i]) == board::kDriven) mask |= static_cast<uint8_t>(1u << i);
  return mask;
}

void GatewayTest::SetOutputsOnBoard(uint8_t mask) const {
  for (int i = 0; i < 8; ++i)
    Poke(board::kOutput[i], (mask >> i) & 1 ? board::kDriven : board::kReleased);
}

void GatewayTest::SetInputsOnBoard(uint8_t mask) const {
  for (int i = 0; i < 8; ++i)
    Poke(board::kInput[i], (mask >> i) & 1 ? board::kInputActive : board::kInputInactive);
}

std::vector<uint8_t> GatewayTest::RegisterPages() const {
  std::vector<uint8_t> pages(2 * 4096);
  const int fd = open(board_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || pread(fd, pages.data(), 4096, board::kGpioWindow) != 4096 ||
      pread(fd, pages.data() + 4096, 4096, board::kLedWindow) != 4096)
    ADD_FAILURE() << "cannot read the board's register pages";
  if (fd >= 0) close(fd);
  return pages;
}
