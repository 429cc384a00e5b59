// The board's id in topics, in the client id and in Home Assistant's
// unique ids: letters, digits, '-' and '_', so that it is one topic level
// and needs no quoting anywhere.
#ifndef DIO_MQTTD_BOARD_ID_H
#define DIO_MQTTD_BOARD_ID_H

#include <string>

namespace dio_mqttd {

// Room for the client id "dio-mqttd-ID" and the topics around it.
constexpr size_t kLongestBoardId = 64;

// What is wrong with id as a board id, or "" when it is one.
std::string BoardIdProblem(const std::string &id);

// The host name up to its first dot ("plc-7.plant.example": "plc-7").
// Throws varnik::tools::UsageError, saying to give --id, when that is no
// board id.
std::string BoardIdFromHostName(const std::string &host_name);

// BoardIdFromHostName of this machine's name.
std::string DefaultBoardId();

}  // namespace dio_mqttd

#endif
