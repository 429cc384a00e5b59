// How dio-sim ends on a problem: one line on standard error and an exit
// status that says what kind of problem it was.
#ifndef VARNIK_DIO_SIM_ERROR_H
#define VARNIK_DIO_SIM_ERROR_H

#include <stdexcept>
#include <string>

namespace dio_sim {

// Exit statuses of dio-sim's own. `run` otherwise ends with the program's.
constexpr int kExitFailure = 1;     // something went wrong while doing it
constexpr int kExitUsage = 2;       // what was asked is wrong; nothing was done
constexpr int kExitCannotRun = 126; // the command was found but cannot run
constexpr int kExitNotFound = 127;  // no such command

class ToolError : public std::runtime_error {
 public:
  ToolError(int status, const std::string &message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// "the file" quoted for a message.
inline std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

// The text of errno, for a message.
std::string ErrnoText(int error);

}  // namespace dio_sim

#endif
