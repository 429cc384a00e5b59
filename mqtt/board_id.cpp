#include "board_id.h"

#include <limits.h>
#include <unistd.h>

#include <cctype>

#include "tool_messages.h"

namespace dio_mqttd {

std::string BoardIdProblem(const std::string &id) {
  if (id.empty()) return "empty";
  if (id.size() > kLongestBoardId) return "longer than " + std::to_string(kLongestBoardId) + " characters";
  for (const char c : id)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
      return std::string("has '") + c + "': letters, digits, '-' and '_' only";
  return "";
}

std::string BoardIdFromHostName(const std::string &host_name) {
  const std::string id = host_name.substr(0, host_name.find('.'));
  const std::string problem = BoardIdProblem(id);
  if (!problem.empty())
    throw varnik::tools::UsageError("the host name '" + host_name + "' gives no board id (" +
                                    problem + "); give one with --id");
  return id;
}

std::string DefaultBoardId() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
  return BoardIdFromHostName(name);
}

}  // namespace dio_mqttd
