// The line names and the pin map as the board library shows it.
#include <errno.h>

#include "board_internal.h"

namespace {

const char *const kLineNames[VDIO_LINE_COUNT] = {
    "DI0", "DI1", "DI2", "DI3", "DI4", "DI5", "DI6", "DI7",  //
    "DO0", "DO1", "DO2", "DO3", "DO4", "DO5", "DO6", "DO7",  //
    "LED1", "LED2", "LED3"};

// Line names are ASCII: compared without the locale, which may fold case
// otherwise (in a Turkish locale "di3" is not "DI3" to strcasecmp).
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(const char *given, const char *line_name) {
  for (; *given != '\0' && *line_name != '\0'; ++given, ++line_name)
    if (AsciiUpper(*given) != *line_name) return false;
  return *given == *line_name;
}

}  // namespace

extern "C" int vdio_line_from_name(const char *name) {
  if (name == nullptr) return -EINVAL;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (SameName(name, kLineNames[line])) return line;
  return -EINVAL;
}

extern "C" const char *vdio_line_name(int line) {
  return varnik::board::IsLine(line) ? kLineNames[line] : nullptr;
}

extern "C" int vdio_get_line_info(int line, struct vdio_line_info *info) {
  using namespace varnik::board;
  if (!IsLine(line) || info == nullptr) return -EINVAL;
  const LineRegister reg = LineRegisterOf(line);
  info->name = kLineNames[line];
  info->direction = static_cast<int32_t>(reg.direction);
  info->address = LineAddress(line);
  info->bit = static_cast<uint8_t>(__builtin_ctz(reg.bit));
  info->active_low = 1;
  return 0;
}
