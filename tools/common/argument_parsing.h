// Internal to the project's tools; not a stable interface.
//
// The values a tool reads from its command line: durations with their unit,
// logical levels and group masks. Each parser throws UsageError with a
// message that names the word and, where it helps, what would be right.
#ifndef VARNIK_TOOLS_ARGUMENT_PARSING_H
#define VARNIK_TOOLS_ARGUMENT_PARSING_H

#include <chrono>
#include <string>

namespace varnik::tools {

using Microseconds = std::chrono::microseconds;

// The accepted range of one duration option, both ends included.
struct DurationRange {
  Microseconds min;
  Microseconds max;
};

// "500us", "20ms", "1.5s", "2m": a number and its unit, nothing else.
// option names the option in messages ("--width").
Microseconds ParseDuration(const std::string &option, const std::string &text, DurationRange range);

// The shortest spelling of a whole duration: "100ms", "10s", "60m", "0s".
std::string FormatDuration(Microseconds duration);

// 1 for "1", "on", "active"; 0 for "0", "off", "inactive"; any case.
// context is the whole argument ("DO3=2"), named in the message.
int ParseLevel(const std::string &text, const std::string &context);

// A group mask, "0xa5" or decimal "165", from 0 to max.
unsigned ParseMask(const std::string &text, unsigned max, const std::string &context);

}  // namespace varnik::tools

#endif
