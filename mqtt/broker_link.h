// The bridge's connection to the broker, over libmosquitto, driven from the
// bridge's own poll loop (no thread of libmosquitto's): client id
// "dio-mqttd-ID", clean session (a command sent while the bridge was away
// is dropped, not replayed), MQTT 3.1.1, "offline" as the last will (QoS 1,
// retained) on the status topic, a username and password, TLS.
//
// libmosquitto's callbacks only record what happened; the bridge takes it
// with TakeEvents after each step, so that nothing runs inside the library.
#ifndef DIO_MQTTD_BROKER_LINK_H
#define DIO_MQTTD_BROKER_LINK_H

#include <string>
#include <vector>

#include "bridge_options.h"
#include "publish_sink.h"

struct mosquitto;
struct mosquitto_message;

namespace dio_mqttd {

struct BrokerEvents {
  struct Received {
    std::string topic;
    std::string payload;
    bool retained = false;
  };
  bool connected = false;        // the broker accepted the connection
  int refused = 0;               // it refused it: the CONNACK's code
  bool lost = false;             // the connection ended
  std::vector<Received> messages;
  std::vector<int> delivered;    // message ids the broker acknowledged
  bool answered = false;         // it acknowledged a subscription or a probe
};

class BrokerLink {
 public:
  // Throws std::runtime_error for what keeps it from starting (a TLS file
  // libmosquitto refuses).
  BrokerLink(const BridgeOptions &options, const std::string &status_topic);
  ~BrokerLink();
  BrokerLink(const BrokerLink &) = delete;
  BrokerLink &operator=(const BrokerLink &) = delete;

  // Starts an attempt to connect without waiting for it: "", or the reason
  // it failed at once ("Connection refused").
  std::string Connect();

  // The socket to poll (-1: none), and whether it is to be polled for
  // writing too.
  int Socket() const;
  bool WantsWrite() const;

  // One step of the connection: reads when readable, writes when writable,
  // and keeps it alive. False when it ended (the events say so too).
  bool Step(bool readable, bool writable);

  // Publishes, or does nothing when not connected. The message id, or -1.
  int Publish(const Outgoing &message);
  void Subscribe(const std::string &filter);
  // A clean end: the broker drops the last will.
  void Disconnect();
  // Asks the broker for an answer that reaches no other client.
  void Probe();
  // Ends a connection whose broker fell silent, without a clean end (the
  // broker, should it wake, publishes the last will); reason is what
  // LastError says.
  void Drop(const std::string &reason);

  BrokerEvents TakeEvents();
  // How the last connection ended or failed, as libmosquitto says it.
  std::string LastError() const { return last_error_; }

 private:
  static void OnConnect(mosquitto *mosq, void *self, int code);
  static void OnDisconnect(mosquitto *mosq, void *self, int code);
  static void OnPublish(mosquitto *mosq, void *self, int mid);
  static void OnSubscribe(mosquitto *mosq, void *self, int mid, int count, const int *granted);
  static void OnUnsubscribe(mosquitto *mosq, void *self, int mid);
  static void OnMessage(mosquitto *mosq, void *self, const ::mosquitto_message *message);
  void Configure(const BridgeOptions &options, const std::string &status_topic);
  void NoteError(int code);

  mosquitto *mosq_ = nullptr;
  std::string host_;
  std::string probe_filter_;
  int port_ = 0;
  int keepalive_s_ = 30;
  bool attempted_ = false;
  bool connected_ = false;
  BrokerEvents events_;
  std::string last_error_;
};

}  // namespace dio_mqttd

#endif
