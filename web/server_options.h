// dio-webd's command line: the options as read, checked and converted,
// and the warnings a configuration deserves.
#ifndef DIO_WEBD_SERVER_OPTIONS_H
#define DIO_WEBD_SERVER_OPTIONS_H

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "listen_address.h"

namespace dio_webd {

// Everything the server needs, checked.
struct ServerOptions {
  std::string device;               // as given, else vdio_open(NULL)'s choice
  ListenAddress listen;             // 127.0.0.1:8080
  std::optional<std::string> token; // read from --token-file; none: the API is read-only
  std::string token_file;           // where it was read; empty: none
  bool read_only = false;
  std::string www;                  // the page's folder: DATADIR/varnik-dio/www
  std::vector<std::string> hosts;   // --host: further names the server answers to
  bool log_requests = false;
  bool check = false;               // --check: options, files and board checked, then exit
  size_t max_event_clients = 64;    // streams of GET /api/v1/events at once
  std::chrono::milliseconds request_timeout{10000};
};

// The words CLI11 fills in, converted by Convert once the parse succeeded.
struct OptionWords {
  std::string device;
  std::string listen = "127.0.0.1:8080";
  std::string token_file;
  bool read_only = false;
  std::string www;  // empty: the installed folder
  std::vector<std::string> hosts;
  bool insecure_http = false;
  bool log_requests = false;
  bool check = false;
  size_t max_event_clients = 64;
  std::string request_timeout = "10s";
};

void AddServerOptions(CLI::App &app, OptionWords &words);

// Throws varnik::tools::UsageError naming the option for a bad value: a
// listen address beyond loopback without --insecure-http, a token file
// others may read, not a regular file, or not one line of 32 to 256
// characters, a --www that is no folder with index.html.
ServerOptions Convert(const OptionWords &words);

// One line each, without the program's name.
std::vector<std::string> Warnings(const ServerOptions &options);

}  // namespace dio_webd

#endif
