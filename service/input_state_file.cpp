#include "input_state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "crc32.h"

namespace dio_boardd {

namespace {

constexpr char kFirstLinePrefix[] = "varnik-dio input state ";
constexpr char kFormatVersion[] = "1";
constexpr char kDevicePrefix[] = "device ";
constexpr char kCrcPrefix[] = "crc32 ";
// Eleven short lines and a device path: a bigger file is none of ours, and
// is not read further.
constexpr size_t kMostBytes = 8192;
constexpr size_t kLines = 3 + kInputs;  // version, device, inputs, crc32

std::string SystemError(int error) { return std::strerror(error); }

// ---- Reading ---------------------------------------------------------------

// Reads the file at path, at most kMostBytes of it, into *text: why it
// could not, or an empty string.
std::string ReadSmallFile(const std::string &path, std::string *text) {
  // Non-blocking, so that a FIFO put there cannot hold the service's start.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return "no state file " + path;
  const std::string unreadable = "state file " + path + " could not be read: ";
  if (fd < 0) return unreadable + SystemError(errno);
  std::string reason;
  struct stat st{};
  if (fstat(fd, &st) != 0) {
    reason = unreadable + SystemError(errno);
  } else if (!S_ISREG(st.st_mode)) {
    reason = "state file " + path + " is not a regular file";
  } else {
    std::vector<char> buffer(kMostBytes + 1);
    size_t got = 0;
    while (got < buffer.size()) {
      const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) reason = unreadable + SystemError(errno);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (reason.empty() && got > kMostBytes)
      reason = "state file " + path + " is larger than " + std::to_string(kMostBytes) +
               " bytes: not one of ours";
    text->assign(buffer.data(), got);
  }
  close(fd);
  return reason;
}

std::vector<std::string> SplitWords(const std::string &line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (true) {
    const size_t space = line.find(' ', at);
    words.push_back(line.substr(at, space - at));
    if (space == std::string::npos) return words;
    at = space + 1;
  }
}

// Decimal digits only, no sign, within 64 bits.
bool ParseCount(const std::string &text, uint64_t *value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

// "DIn rising R falling F on_time_ns T latches L": false if it is not.
bool ParseInputLine(const std::string &line, int input, KeptFigures *figures) {
  const std::vector<std::string> words = SplitWords(line);
  uint64_t latches = 0;
  const bool parsed = words.size() == 9 && words[0] == "DI" + std::to_string(input) &&
                      words[1] == "rising" && ParseCount(words[2], &figures->rising) &&
                      words[3] == "falling" && ParseCount(words[4], &figures->falling) &&
                      words[5] == "on_time_ns" && ParseCount(words[6], &figures->on_time_ns) &&
                      words[7] == "latches" && ParseCount(words[8], &latches);
  if (!parsed || latches > (VDIO_INPUT_ROSE | VDIO_INPUT_FELL)) return false;
  figures->latches = static_cast<uint32_t>(latches);
  return true;
}

bool StartsWith(const std::string &text, const char *prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string CrcText(uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08" PRIx32, crc);
  return text;
}

// The figures in text, the whole of a state file; or why they cannot be used.
std::variant<KeptInputs, std::string> ParseState(const std::string &text, const std::string &path,
                                                 const std::string &device) {
  const std::string file = "state file " + path;
  auto refuse = [](const std::string &reason) {
    return std::variant<KeptInputs, std::string>(std::in_place_index<1>, reason);
  };
  if (!StartsWith(text, kFirstLinePrefix))
    return refuse(file + " is not an input state file (it does not start with \"" +
                  kFirstLinePrefix + kFormatVersion + "\")");
  std::vector<std::string> lines;
  std::vector<size_t> starts;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return refuse(file + " is cut short (its last line has no end)");
    starts.push_back(at);
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  const std::string version = lines[0].substr(std::strlen(kFirstLinePrefix));
  if (version != kFormatVersion)
    return refuse(file + " is of format version " + version + ", this service reads version " +
                  kFormatVersion);
  if (!StartsWith(lines.back(), kCrcPrefix))
    return refuse(file + " is cut short (no CRC32 at its end)");
  const std::string crc = CrcText(Crc32(text.data(), starts.back()));
  if (lines.back() != kCrcPrefix + crc)
    return refuse(file + " is corrupt (its CRC32 does not match)");
  if (lines.size() != kLines)
    return refuse(file + " is corrupt (" + std::to_string(lines.size()) + " lines, not " +
                  std::to_string(kLines) + ")");
  if (!StartsWith(lines[1], kDevicePrefix))
    return refuse(file + " is corrupt (line 2 does not name the device)");
  const std::string owner = lines[1].substr(std::strlen(kDevicePrefix));
  if (owner != device) return refuse(file + " belongs to " + owner + ", not " + device);
  KeptInputs kept{};
  for (int n = 0; n < kInputs; ++n) {
    if (!ParseInputLine(lines[2 + n], n, &kept[n]))
      return refuse(file + " is corrupt (line " + std::to_string(3 + n) + " is not DI" +
                    std::to_string(n) + "'s figures)");
  }
  return kept;
}

// ---- Writing ---------------------------------------------------------------

std::string StateText(const std::string &device, const KeptInputs &inputs) {
  std::string text = std::string(kFirstLinePrefix) + kFormatVersion + "\n";
  text += kDevicePrefix + device + "\n";
  for (int n = 0; n < kInputs; ++n) {
    const KeptFigures &figures = inputs[n];
    text += "DI" + std::to_string(n) + " rising " + std::to_string(figures.rising) + " falling " +
            std::to_string(figures.falling) + " on_time_ns " + std::to_string(figures.on_time_ns) +
            " latches " + std::to_string(figures.latches) + "\n";
  }
  return text + kCrcPrefix + CrcText(Crc32(text.data(), text.size())) + "\n";
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes text into a new file beside path and renames it over path: what
// failed, or an empty string; *renamed tells whether path has the new text.
std::string ReplaceFile(const std::string &path, const std::string &text, bool *renamed) {
  // One fixed name, so that a save cut short by a kill leaves no more than
  // one leftover, which the next save replaces; never through a link put
  // there (the folder is the service's own).
  const std::string temporary = path + ".new";
  const int fd =
      open(temporary.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return "creating " + temporary + ": " + SystemError(errno);
  std::string failure;
  if (fchmod(fd, 0640) != 0) failure = "setting the mode of " + temporary;
  else if (!WriteAll(fd, text)) failure = "writing " + temporary;
  else if (fsync(fd) != 0) failure = "flushing " + temporary;
  if (!failure.empty()) failure += ": " + SystemError(errno);
  if (close(fd) != 0 && failure.empty())
    failure = "closing " + temporary + ": " + SystemError(errno);
  if (failure.empty() && rename(temporary.c_str(), path.c_str()) != 0)
    failure = "renaming " + temporary + " to " + path + ": " + SystemError(errno);
  if (!failure.empty()) {
    unlink(temporary.c_str());
    return failure;
  }
  *renamed = true;
  // The rename itself lasts only once the folder is on disk.
  const std::string folder = FolderOf(path);
  const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0) return "opening the folder " + folder + ": " + SystemError(errno);
  if (fsync(folder_fd) != 0) failure = "flushing the folder " + folder + ": " + SystemError(errno);
  close(folder_fd);
  return failure;
}

}  // namespace

std::variant<KeptInputs, std::string> LoadInputState(const std::string &path,
                                                     const std::string &device, bool *unusable) {
  bool refused = false;
  if (unusable == nullptr) unusable = &refused;
  std::string text;
  const std::string reason = ReadSmallFile(path, &text);
  // Too large to be ours: as unusable as a corrupt one.
  *unusable = reason.find(" bytes: not one of ours") != std::string::npos;
  if (!reason.empty()) return reason;
  auto loaded = ParseState(text, path, device);
  *unusable = loaded.index() == 1;
  return loaded;
}

std::string SetAsideInputState(const std::string &path) {
  const std::string aside = path + ".bad";
  if (rename(path.c_str(), aside.c_str()) != 0)
    return "could not keep it as " + aside + ": " + SystemError(errno);
  return "kept as " + aside + " for a look";
}

std::optional<std::string> SaveInputState(const std::string &path, const std::string &device,
                                          const KeptInputs &inputs, bool *replaced) {
  bool renamed = false;
  if (replaced == nullptr) replaced = &renamed;
  *replaced = false;
  const std::string cannot = "cannot save the input figures in " + path + ": ";
  // Its line would end early: the file could never be read back.
  if (device.find('\n') != std::string::npos)
    return cannot + "the device path has a line break, which a state file cannot hold";
  const std::string text = StateText(device, inputs);
  if (text.size() > kMostBytes)
    return cannot + "the device path is too long for a state file (" + std::to_string(kMostBytes) +
           " bytes at most)";
  const std::string failure = ReplaceFile(path, text, replaced);
  if (failure.empty()) return std::nullopt;
  if (*replaced) return "input figures written to " + path + " but not yet safe on disk: " + failure;
  return cannot + failure;
  return std::nullopt;
}

}  // namespace dio_boardd
