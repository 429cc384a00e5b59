// The bearer token that writes need, kept in a file of its own so that it
// is never on a command line (where ps shows it) nor in the options file.
#ifndef DIO_WEBD_TOKEN_FILE_H
#define DIO_WEBD_TOKEN_FILE_H

#include <string>

namespace dio_webd {

// The token: the file's one line (a trailing line feed allowed) of 32 to
// 256 printable ASCII characters without spaces. The file must be a
// regular file without permission bits for others. Throws
// varnik::tools::UsageError naming --token-file, the file and the fix.
std::string ReadTokenFile(const std::string &path);

// Whether a and b are equal, in a time that depends on their lengths only
// (the longer one's), never on where they first differ.
bool TokensEqual(const std::string &a, const std::string &b);

}  // namespace dio_webd

#endif
