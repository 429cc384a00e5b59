#include "broker_link.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>

#include "tool_messages.h"

namespace dio_mqttd {

namespace {

// Where TLS looks for the broker's CA when no --cafile is given.
constexpr const char *kSystemCaPath = "/etc/ssl/certs";

constexpr int kMessagesInFlight = 1000;

void InitLibraryOnce() {
  static std::once_flag once;
  static int code = MOSQ_ERR_SUCCESS;
  std::call_once(once, [] { code = mosquitto_lib_init(); });
  if (code != MOSQ_ERR_SUCCESS)
    throw std::runtime_error(std::string("cannot start libmosquitto: ") + mosquitto_strerror(code));
}

// OpenSSL's answer to an encrypted --key: no password, so that loading it
// fails instead of prompting on a terminal the daemon has not got.
int NoKeyPassword(char *, int, int, void *) { return 0; }

const char *OrNull(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

// "connection lost", as the other reasons in the log read.
std::string ErrorText(int code) {
  if (code == MOSQ_ERR_ERRNO) return std::strerror(errno);
  std::string text = mosquitto_strerror(code);
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (text.rfind("The ", 0) == 0) text = "t" + text.substr(1);
  return text;
}

void Require(int code, const std::string &what) {
  if (code != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + ": " + ErrorText(code));
}

// A publish or subscribe libmosquitto refused, logged once per action and
// error: a repeat would flood the log at every change.
void LogRefusedOnce(const char *action, int code, const std::string &topic) {
  static std::set<std::pair<std::string, int>> logged;
  if (!logged.insert({action, code}).second) return;
  varnik::tools::PrintLine(std::string("cannot ") + action + " " + topic + ": " +
                           mosquitto_strerror(code) + " (logged once)");
}

}  // namespace

BrokerLink::BrokerLink(const BridgeOptions &options, const std::string &status_topic)
    : host_(options.broker.host),
      probe_filter_(status_topic + "/probe"),
      port_(options.broker.port),
      keepalive_s_(static_cast<int>(options.keepalive.count())) {
  InitLibraryOnce();
  const std::string client_id = "dio-mqttd-" + options.board_id;
  mosq_ = mosquitto_new(client_id.c_str(), true, this);
  if (!mosq_) throw std::runtime_error("cannot set up the MQTT client: " + ErrorText(MOSQ_ERR_ERRNO));
  try {
    Configure(options, status_topic);
  } catch (...) {
    mosquitto_destroy(mosq_);
    throw;
  }
}

BrokerLink::~BrokerLink() { mosquitto_destroy(mosq_); }

void BrokerLink::Configure(const BridgeOptions &options, const std::string &status_topic) {
  Require(mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311),
          "cannot ask for MQTT 3.1.1");
  // Room for all a connect publishes (status, discovery, levels, figures)
  // awaiting the broker's acknowledgement: the default 20 would queue the
  // last levels and let the QoS 0 figures overtake them.
  Require(mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kMessagesInFlight),
          "cannot set the messages in flight");
  // A change goes out at once, not held back to be sent with the next one.
  Require(mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1), "cannot set TCP_NODELAY");
  static const char kOffline[] = "offline";
  Require(mosquitto_will_set(mosq_, status_topic.c_str(), sizeof kOffline - 1, kOffline, 1, true),
          "cannot set the last will on " + status_topic);
  if (!options.username.empty() || options.password)
    Require(mosquitto_username_pw_set(mosq_, OrNull(options.username),
                                      options.password ? options.password->c_str() : nullptr),
            "cannot set the username and password");
  if (options.broker.tls)
    Require(mosquitto_tls_set(mosq_, OrNull(options.cafile),
                              options.cafile.empty() ? kSystemCaPath : nullptr,
                              OrNull(options.cert), OrNull(options.key), &NoKeyPassword),
            "cannot set up TLS with --cafile, --cert and --key (check the files and that the "
            "key belongs to the certificate)");
  mosquitto_connect_callback_set(mosq_, &BrokerLink::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &BrokerLink::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &BrokerLink::OnPublish);
  mosquitto_subscribe_callback_set(mosq_, &BrokerLink::OnSubscribe);
  mosquitto_unsubscribe_callback_set(mosq_, &BrokerLink::OnUnsubscribe);
  mosquitto_message_callback_set(mosq_, &BrokerLink::OnMessage);
}

std::string BrokerLink::Connect() {
  connected_ = false;
  last_error_.clear();
  // The first attempt names the broker; the later ones reuse it.
  const int code = attempted_ ? mosquitto_reconnect_async(mosq_)
                              : mosquitto_connect_async(mosq_, host_.c_str(), port_, keepalive_s_);
  attempted_ = true;
  if (code == MOSQ_ERR_SUCCESS || code == MOSQ_ERR_CONN_PENDING) return "";
  NoteError(code);
  if (code == MOSQ_ERR_TLS)
    last_error_ += ": check --cafile, --cert and --key (a --key must not be encrypted)";
  return last_error_;
}

int BrokerLink::Socket() const { return mosquitto_socket(mosq_); }

bool BrokerLink::WantsWrite() const { return mosquitto_want_write(mosq_); }

bool BrokerLink::Step(bool readable, bool writable) {
  if (Socket() < 0) return false;
  int code = MOSQ_ERR_SUCCESS;
  if (readable) code = mosquitto_loop_read(mosq_, 1);
  if (code == MOSQ_ERR_SUCCESS && writable && Socket() >= 0) code = mosquitto_loop_write(mosq_, 1);
  if (code == MOSQ_ERR_SUCCESS && Socket() >= 0) code = mosquitto_loop_misc(mosq_);
  if (code == MOSQ_ERR_SUCCESS && Socket() >= 0) return true;
  if (code != MOSQ_ERR_SUCCESS) NoteError(code);
  connected_ = false;
  events_.lost = true;
  return false;
}

int BrokerLink::Publish(const Outgoing &message) {
  if (!connected_) return -1;
  int mid = -1;
  const int code =
      mosquitto_publish(mosq_, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                        message.payload.data(), message.qos, message.retain);
  if (code == MOSQ_ERR_SUCCESS) return mid;
  LogRefusedOnce("publish to", code, message.topic);
  return -1;
}

void BrokerLink::Subscribe(const std::string &filter) {
  if (!connected_) return;
  const int code = mosquitto_subscribe(mosq_, nullptr, filter.c_str(), 1);
  if (code != MOSQ_ERR_SUCCESS) LogRefusedOnce("subscribe to", code, filter);
}

void BrokerLink::Disconnect() {
  if (Socket() >= 0) mosquitto_disconnect(mosq_);
  connected_ = false;
}

// Leaving a filter never subscribed: the broker must answer (UNSUBACK), and
// unlike a publish nothing reaches a subscriber or the retained store.
void BrokerLink::Probe() {
  if (connected_) mosquitto_unsubscribe(mosq_, nullptr, probe_filter_.c_str());
}

// The socket is shut, not closed: libmosquitto closes it at the next
// attempt to connect.
void BrokerLink::Drop(const std::string &reason) {
  if (Socket() >= 0) shutdown(Socket(), SHUT_RDWR);
  connected_ = false;
  events_ = BrokerEvents{};
  last_error_ = reason;
}

BrokerEvents BrokerLink::TakeEvents() {
  BrokerEvents taken = std::move(events_);
  events_ = BrokerEvents{};
  return taken;
}

void BrokerLink::NoteError(int code) {
  if (code == MOSQ_ERR_CONN_REFUSED && !last_error_.empty()) return;  // the CONNACK said why
  last_error_ = ErrorText(code);
}

void BrokerLink::OnConnect(mosquitto *, void *self, int code) {
  auto *link = static_cast<BrokerLink *>(self);
  if (code == 0) {
    link->connected_ = true;
    link->events_.connected = true;
    link->last_error_.clear();
  } else {
    link->events_.refused = code;
    link->last_error_ = std::string("refused: ") + mosquitto_connack_string(code);
  }
}

void BrokerLink::OnDisconnect(mosquitto *, void *self, int code) {
  auto *link = static_cast<BrokerLink *>(self);
  if (code != 0 && link->last_error_.empty()) link->last_error_ = ErrorText(code);
  link->connected_ = false;
  link->events_.lost = true;
}

void BrokerLink::OnPublish(mosquitto *, void *self, int mid) {
  static_cast<BrokerLink *>(self)->events_.delivered.push_back(mid);
}

void BrokerLink::OnSubscribe(mosquitto *, void *self, int, int, const int *) {
  static_cast<BrokerLink *>(self)->events_.answered = true;
}

void BrokerLink::OnUnsubscribe(mosquitto *, void *self, int) {
  static_cast<BrokerLink *>(self)->events_.answered = true;
}

void BrokerLink::OnMessage(mosquitto *, void *self, const ::mosquitto_message *message) {
  auto *link = static_cast<BrokerLink *>(self);
  const char *bytes = static_cast<const char *>(message->payload);
  link->events_.messages.push_back(
      {message->topic, std::string(bytes ? bytes : "", static_cast<size_t>(message->payloadlen)),
       message->retain});
}

}  // namespace dio_mqttd
