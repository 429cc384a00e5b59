#include "server_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "argument_parsing.h"
#include "command_line.h"
#include "default_device.h"
#include "token_file.h"
#include "tool_messages.h"

namespace dio_webd {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::NotEmpty;
using varnik::tools::ParseDuration;
using varnik::tools::UsageError;

// A client that sends slowly holds a request thread this long at most.
constexpr DurationRange kRequestTimeoutRange{std::chrono::seconds(1), std::chrono::seconds(60)};
// Each stream holds one of civetweb's threads for as long as it is open.
constexpr size_t kMostEventClients = 1024;

}  // namespace

void AddServerOptions(CLI::App &app, OptionWords &words) {
  app.add_option("--device", words.device,
                 "The board service's socket, a simulated board's board file, or the memory "
                 "device (default: $VARNIK_DIO_DEVICE, else the service's socket "
                 "/run/varnik-dio/board.sock when it serves, else /dev/mem)")
      ->type_name("PATH")
      ->check(NotEmpty("device"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--listen", words.listen,
                 "The IPv4 address (or localhost) and port to serve on; port 0: one the system "
                 "picks, printed at start. Beyond loopback only with --insecure-http")
      ->type_name("ADDRESS:PORT")
      ->capture_default_str();
  app.add_option("--token-file", words.token_file,
                 "A file (no permissions for others) whose one line is the token that writes "
                 "need (Authorization: Bearer TOKEN), 32 to 256 printable characters. Without "
                 "it the API is read-only")
      ->type_name("FILE")
      ->check(NotEmpty("file"));
  app.add_flag("--read-only", words.read_only,
               "Refuse every write (403): show the board, never switch a line");
  app.add_option("--www", words.www,
                 "The page's folder (default: share/varnik-dio/www beside the program's sbin/)")
      ->type_name("DIR")
      ->check(NotEmpty("folder"));
  app.add_option("--host", words.hosts,
                 "A further name the server answers to in a request's Host header, reads and "
                 "writes alike (the listen address, and localhost on loopback, always are); "
                 "repeatable")
      ->type_name("NAME")
      ->check(NotEmpty("host"));
  app.add_flag("--insecure-http", words.insecure_http,
               "Serve plain HTTP on an address beyond loopback, where the page and the token "
               "cross the network in the clear (put a TLS reverse proxy in front instead)");
  app.add_flag("--log-requests", words.log_requests,
               "Log one line per request: method, path, status, time taken, client");
  app.add_option("--max-event-clients", words.max_event_clients,
                 "Event streams (GET /api/v1/events) open at once, at most (1 to 1024)")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, kMostEventClients));
  app.add_option("--request-timeout", words.request_timeout,
                 "How long a request may take to arrive (1s to 60s). Each connection holds "
                 "one of a fixed number of threads until then: beyond loopback put a reverse "
                 "proxy in front, which takes slow clients off dio-webd")
      ->type_name("DURATION")
      ->capture_default_str();
  app.add_flag("--check", words.check,
               "Check the options, the token file, the page's folder and the board (opened and "
               "closed), print the warnings and exit, serving nothing");
}

namespace {

// The folder the installed program finds its page in: sbin/ to
// share/varnik-dio/www below the same prefix.
std::string InstalledWww() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0)
    throw UsageError(std::string("cannot find the program's own folder (/proc/self/exe: ") +
                     std::strerror(errno) + "); give --www DIR");
  std::string program(self, static_cast<size_t>(length));
  return program.substr(0, program.rfind('/') + 1) + DIO_WEBD_SBIN_TO_WWW;
}

std::string CheckWww(const std::string &folder) {
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    throw UsageError("--www " + folder + ": no such folder; name the folder of the page "
                     "(index.html, style.css, app.js)");
  const std::string index = folder + "/index.html";
  const int fd = open(index.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  const bool regular = fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  if (fd >= 0) close(fd);
  if (!regular)
    throw UsageError("--www " + folder + ": no readable index.html in it; name the folder of "
                     "the page");
  return folder;
}

ListenAddress ConvertListen(const OptionWords &words) {
  const ListenAddress listen = ParseListenAddress(words.listen);
  if (!listen.Loopback() && !words.insecure_http)
    throw UsageError("--listen " + words.listen + ": the page and the token would cross the "
                     "network in the clear; put a TLS reverse proxy in front (see dio-webd(8)) "
                     "or give --insecure-http");
  return listen;
}

}  // namespace

ServerOptions Convert(const OptionWords &words) {
  ServerOptions options;
  options.device = words.device.empty() ? varnik::tools::DefaultDevice() : words.device;
  options.listen = ConvertListen(words);
  if (!words.token_file.empty()) {
    options.token = ReadTokenFile(words.token_file);
    options.token_file = words.token_file;
  }
  options.read_only = words.read_only;
  options.www = CheckWww(words.www.empty() ? InstalledWww() : words.www);
  options.hosts = words.hosts;
  options.log_requests = words.log_requests;
  options.check = words.check;
  options.max_event_clients = words.max_event_clients;
  options.request_timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
      ParseDuration("--request-timeout", words.request_timeout, kRequestTimeoutRange));
  return options;
}

std::vector<std::string> Warnings(const ServerOptions &options) {
  std::vector<std::string> warnings;
  // Beyond loopback Convert took the address only with --insecure-http.
  if (!options.listen.Loopback())
    warnings.push_back("warning: --insecure-http on " + options.listen.Text() +
                       ": the page, the board and the token cross the network in the clear");
  // No client sends "Host: 0.0.0.0": every request would be refused.
  if (options.listen.address == "0.0.0.0" && options.hosts.empty())
    warnings.push_back("warning: listening on 0.0.0.0 answers only to the Host names given with "
                       "--host; add --host for the board's address or name");
  if (options.read_only && options.token)
    warnings.push_back("warning: --token-file with --read-only: the token is never needed, "
                       "every write is refused");
  return warnings;
}

}  // namespace dio_webd
