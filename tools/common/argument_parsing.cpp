#include "argument_parsing.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tool_messages.h"

namespace varnik::tools {

namespace {

struct DurationUnit {
  const char *suffix;
  int64_t microseconds;
};

// Largest first, as FormatDuration picks the largest that divides evenly.
constexpr DurationUnit kDurationUnits[] = {
    {"m", 60'000'000}, {"s", 1'000'000}, {"ms", 1'000}, {"us", 1}};

constexpr int kMaxDurationDigits = 15;  // keeps the digits within int64; the unit is checked

const DurationUnit *UnitNamed(const std::string &suffix) {
  for (const DurationUnit &unit : kDurationUnits)
    if (suffix == unit.suffix) return &unit;
  return nullptr;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The digits of "12.5" as 125 with one fraction digit; false if the text is
// not digits with at most one point between digits.
bool ParseDecimal(const std::string &text, int64_t *digits, int *fraction_digits) {
  *digits = 0;
  *fraction_digits = 0;
  int count = 0;
  bool point = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.' && !point && i > 0 && i + 1 < text.size()) {
      point = true;
      continue;
    }
    if (!IsDigit(text[i]) || ++count > kMaxDurationDigits) return false;
    *digits = *digits * 10 + (text[i] - '0');
    if (point) ++*fraction_digits;
  }
  return count > 0;
}

[[noreturn]] void ThrowDurationError(const std::string &option, const std::string &text,
                                     const std::string &problem) {
  throw UsageError(option + ": '" + text + "' " + problem);
}

}  // namespace

Microseconds ParseDuration(const std::string &option, const std::string &text,
                           DurationRange range) {
  const size_t unit_at = text.find_first_not_of("0123456789.");
  const std::string number = text.substr(0, unit_at);
  const std::string suffix = unit_at == std::string::npos ? "" : text.substr(unit_at);
  if (!text.empty() && text[0] == '-') ThrowDurationError(option, text, "is negative");
  int64_t digits = 0;
  int fraction_digits = 0;
  if (!ParseDecimal(number, &digits, &fraction_digits))
    ThrowDurationError(option, text, "is not a duration such as 500us, 20ms, 1.5s or 2m");
  const DurationUnit *unit = UnitNamed(suffix);
  if (unit == nullptr)
    ThrowDurationError(option, text,
                       suffix.empty() ? "needs a unit: us, ms, s or m (e.g. 100ms)"
                                      : "has an unknown unit; use us, ms, s or m");
  int64_t scale = 1;
  for (int i = 0; i < fraction_digits; ++i) scale *= 10;
  int64_t scaled = 0;
  if (__builtin_mul_overflow(digits, unit->microseconds, &scaled))
    ThrowDurationError(option, text, "is too long: at most " + FormatDuration(range.max));
  if (scaled % scale != 0) ThrowDurationError(option, text, "is finer than a microsecond");
  const Microseconds duration(scaled / scale);
  if (duration < range.min)
    ThrowDurationError(option, text, "is too short: at least " + FormatDuration(range.min));
  if (duration > range.max)
    ThrowDurationError(option, text, "is too long: at most " + FormatDuration(range.max));
  return duration;
}

std::string FormatDuration(Microseconds duration) {
  const int64_t us = duration.count();
  if (us == 0) return "0s";
  for (const DurationUnit &unit : kDurationUnits)
    if (us % unit.microseconds == 0) return std::to_string(us / unit.microseconds) + unit.suffix;
  return std::to_string(us) + "us";
}

namespace {

// Level words are ASCII, compared without the locale's case folding (in a
// Turkish locale "ACTIVE" is not "active" to strcasecmp).
bool SameWord(const std::string &text, const char *word) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  size_t i = 0;
  for (; i < text.size() && word[i] != '\0'; ++i)
    if (upper(text[i]) != upper(word[i])) return false;
  return i == text.size() && word[i] == '\0';
}

}  // namespace

int ParseLevel(const std::string &text, const std::string &context) {
  if (text == "1" || SameWord(text, "on") || SameWord(text, "active")) return 1;
  if (text == "0" || SameWord(text, "off") || SameWord(text, "inactive")) return 0;
  throw UsageError(context + ": '" + text +
                   "' is not a level; use 0 or 1, off or on, inactive or active");
}

unsigned ParseMask(const std::string &text, unsigned max, const std::string &context) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  char max_text[16];
  std::snprintf(max_text, sizeof max_text, "0x%02x", max);
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos)
    throw UsageError(context + ": '" + text + "' is not a mask such as 0x05 (0x00 to " + max_text +
                     ")");
  const std::string significant =
      digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
  const unsigned long value =
      significant.size() > 8 ? max + 1ul : std::stoul(digits, nullptr, hex ? 16 : 10);
  if (value > max) throw UsageError(context + ": '" + text + "' is above " + max_text);
  return static_cast<unsigned>(value);
}

}  // namespace varnik::tools
