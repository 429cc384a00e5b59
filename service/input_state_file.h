// The inputs' figures kept across restarts of the service: a text file
// with a format version, the device it belongs to, one line per input and
// a CRC32 of all before it, replaced atomically (written beside it,
// fsync'ed, renamed, its folder fsync'ed), so that a crash leaves the old
// file or the new one, never half of one.
#ifndef DIO_BOARDD_INPUT_STATE_FILE_H
#define DIO_BOARDD_INPUT_STATE_FILE_H

#include <optional>
#include <string>
#include <variant>

#include "input_functions.h"

namespace dio_boardd {

// The figures in the file at path, saved for device; or why there are none
// to use, as the end of a log line ("no state file /var/lib/...: starting
// from zero", "... is corrupt (its CRC32 does not match): ...", "... belongs
// to /dev/other", "... could not be read: Permission denied"). Never
// figures from a file that is not whole and ours. *unusable: the file is
// there but corrupt, of another format or device (not missing or unreadable).
std::variant<KeptInputs, std::string> LoadInputState(const std::string &path,
                                                     const std::string &device,
                                                     bool *unusable = nullptr);

// Renames an unusable state file to path + ".bad" (replacing an older one),
// so that the admin can look at it after the service starts from zero:
// what became of it, as the end of a log line.
std::string SetAsideInputState(const std::string &path);

// Writes the figures of device to path atomically: nothing, or what went
// wrong as a log line ("cannot save the input figures in PATH: ..."). The
// old file then stays as it was, unless *replaced: the new one is in place
// but its folder could not be flushed, so a power cut may undo it.
std::optional<std::string> SaveInputState(const std::string &path, const std::string &device,
                                          const KeptInputs &inputs, bool *replaced = nullptr);

}  // namespace dio_boardd

#endif
