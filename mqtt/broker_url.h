// The broker's address: mqtt://HOST:PORT or mqtts://HOST:PORT.
#ifndef DIO_MQTTD_BROKER_URL_H
#define DIO_MQTTD_BROKER_URL_H

#include <string>

namespace dio_mqttd {

struct BrokerUrl {
  bool tls = false;  // mqtts://
  std::string host = "127.0.0.1";
  int port = 1883;   // 1883 for mqtt://, 8883 for mqtts:// when none is given
};

// Throws varnik::tools::UsageError naming --broker and what is wrong. An
// IPv6 host is written in brackets: mqtt://[::1]:1883.
BrokerUrl ParseBrokerUrl(const std::string &text);

// "mqtts://broker.example:8883", as in the log.
std::string FormatBrokerUrl(const BrokerUrl &url);

// Whether host names this machine itself: localhost, 127.0.0.0/8, ::1.
// Decided from the name alone, never by a lookup.
bool IsLoopbackHost(const std::string &host);

}  // namespace dio_mqttd

#endif
