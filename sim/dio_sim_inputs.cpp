#include "dio_sim_inputs.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "argument_parsing.h"
#include "dio_sim_error.h"
#include "tool_messages.h"
#include "varnik_pin_map.h"

namespace dio_sim {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

[[noreturn]] void RefuseWord(const std::string &word, const std::string &why) {
  throw ToolError(kExitUsage, "inputs: " + Quoted(word) + " " + why);
}

// "DI0".."DI7" in any case: the input's number.
int InputNumber(const std::string &word, const std::string &name) {
  const std::string lower = Lower(name);
  if (lower.size() == 3 && lower.compare(0, 2, "di") == 0 && lower[2] >= '0' &&
      lower[2] < '0' + varnik::kInputCount)
    return lower[2] - '0';
  RefuseWord(word, "names no input: the inputs are DI0 to DI7");
}

bool IsActiveLevel(const std::string &word, const std::string &level) {
  try {
    return varnik::tools::ParseLevel(level, "inputs") == 1;
  } catch (const varnik::tools::UsageError &) {
    RefuseWord(word, "has no level: give 0, 1, on, off, active or inactive");
  }
}

// A mask of the eight inputs: 0x00..0xff, or 0..255 in decimal.
bool ParseMask(const std::string &word, uint8_t *mask) {
  try {
    *mask = static_cast<uint8_t>(varnik::tools::ParseMask(word, 0xFF, "inputs"));
    return true;
  } catch (const varnik::tools::UsageError &) {
    return false;
  }
}

void AddNamedLevel(const std::string &word, InputLevels *levels) {
  const auto equals = word.find('=');
  const int input = InputNumber(word, word.substr(0, equals));
  const uint8_t bit = static_cast<uint8_t>(1u << input);
  if ((levels->chosen & bit) != 0) RefuseWord(word, "sets an input that is already set");
  levels->chosen |= bit;
  if (IsActiveLevel(word, word.substr(equals + 1))) levels->active |= bit;
}

uint32_t InputAddress(int input) { return varnik::GpioAddress(varnik::kGpioOffsets[input]); }

uint8_t ReadByte(int fd, const std::string &board, uint32_t address) {
  uint8_t value = 0;
  if (pread(fd, &value, 1, static_cast<off_t>(address)) != 1)
    throw ToolError(kExitFailure, "cannot read board file " + Quoted(board) + ": " +
                                      ErrnoText(errno));
  return value;
}

void WriteByte(int fd, const std::string &board, uint32_t address, uint8_t value) {
  if (pwrite(fd, &value, 1, static_cast<off_t>(address)) != 1)
    throw ToolError(kExitFailure, "cannot write board file " + Quoted(board) + ": " +
                                      ErrnoText(errno));
}

}  // namespace

InputLevels ParseInputLevels(const std::vector<std::string> &words) {
  InputLevels levels;
  if (words.size() == 1 && words[0].find('=') == std::string::npos) {
    if (!ParseMask(words[0], &levels.active))
      RefuseWord(words[0], "is neither NAME=LEVEL nor a mask of the eight inputs (0x00 to 0xff)");
    levels.chosen = 0xFF;
    return levels;
  }
  for (const std::string &word : words) {
    if (word.find('=') == std::string::npos)
      RefuseWord(word, "is not NAME=LEVEL (a mask must be the only argument)");
    AddNamedLevel(word, &levels);
  }
  return levels;
}

void ApplyInputLevels(int fd, const std::string &board, const InputLevels &levels) {
  for (int input = 0; input < varnik::kInputCount; ++input) {
    const uint8_t bit = static_cast<uint8_t>(1u << input);
    if ((levels.chosen & bit) == 0) continue;
    const uint32_t address = InputAddress(input);
    const uint8_t old_byte = ReadByte(fd, board, address);
    // Active-low: a clear sensed bit is an active input.
    const uint8_t new_byte = (levels.active & bit) != 0
                                 ? static_cast<uint8_t>(old_byte & ~varnik::kSensedLevelBit)
                                 : static_cast<uint8_t>(old_byte | varnik::kSensedLevelBit);
    WriteByte(fd, board, address, new_byte);
  }
}

}  // namespace dio_sim
