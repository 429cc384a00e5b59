// The broker password, kept in a file of its own so that it is never on a
// command line (where ps shows it) nor in the options file.
#ifndef DIO_MQTTD_PASSWORD_FILE_H
#define DIO_MQTTD_PASSWORD_FILE_H

#include <string>

namespace dio_mqttd {

// The file's first line, without its line end. Throws
// varnik::tools::UsageError naming --password-file and the file when it
// cannot be read or that line is empty.
std::string ReadPasswordFile(const std::string &path);

// Whether users other than the owner and the file's group may read it.
bool ReadableByOthers(const std::string &path);

}  // namespace dio_mqttd

#endif
