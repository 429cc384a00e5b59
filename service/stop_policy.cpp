#include "stop_policy.h"

#include "line_text.h"

namespace dio_boardd {

namespace {

constexpr uint8_t kAllLeds = 0x7;

uint32_t OutputLines(uint8_t mask) { return static_cast<uint32_t>(mask) << VDIO_DO0; }
uint32_t LedLines(uint8_t mask) { return static_cast<uint32_t>(mask) << VDIO_LED1; }

}  // namespace

std::optional<std::string> ApplyPowerOn(vdio_board *board, const PowerOnLevels &levels) {
  uint32_t lines = 0;
  uint32_t values = 0;
  if (levels.outputs) {
    vdio_write_outputs(board, 0xFF, *levels.outputs);
    lines |= OutputLines(0xFF);
    values |= OutputLines(*levels.outputs);
  }
  if (levels.leds) {
    vdio_write_leds(board, kAllLeds, *levels.leds);
    lines |= LedLines(kAllLeds);
    values |= LedLines(*levels.leds);
  }
  if (lines == 0) return std::nullopt;
  return "power-on levels written: " + LineLevels(lines, values);
}

std::string ApplyStopOutputs(vdio_board *board, std::optional<uint8_t> stop_outputs,
                             uint32_t claimed) {
  const auto unclaimed = static_cast<uint8_t>(~(claimed >> VDIO_DO0));
  if (!stop_outputs) return "outputs nobody claimed left as they are";
  if (unclaimed == 0) return "every output was claimed";
  vdio_write_outputs(board, unclaimed, *stop_outputs);
  return "outputs nobody claimed set to " +
         LineLevels(OutputLines(unclaimed), OutputLines(*stop_outputs));
}

}  // namespace dio_boardd
