#include "outside_changes.h"

namespace dio_boardd {

namespace {

constexpr uint32_t kDrivenLines = VDIO_OUTPUT_LINES | VDIO_LED_LINES;

}  // namespace

std::vector<std::string> OutsideChanges::Observe(uint32_t levels, uint64_t now) {
  std::vector<std::string> lines;
  const uint32_t changed = (levels ^ known_) & kDrivenLines;
  known_ = levels;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    if (!((changed >> line) & 1u)) continue;
    const auto at = static_cast<size_t>(line);
    if (named_[at] && now - named_at_[at] < kQuietNs) continue;
    named_[at] = true;
    named_at_[at] = now;
    lines.push_back(std::string(vdio_line_name(line)) + " changed to " +
                    std::to_string((levels >> line) & 1u) +
                    " outside the service (a program driving the registers directly?)");
  }
  return lines;
}

}  // namespace dio_boardd
