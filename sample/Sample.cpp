// Sample: exercises the board's LEDs and outputs forever.
//
// Alternates between all LEDs lit with every output inactive, and all LEDs
// dark with every output driven, and after each change prints what the
// driver reads back from the LEDs, the outputs and the inputs. It has no
// exit path: it ends when it is killed, or when a register access fails
// and the driver ends the process with its report.

#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "varnik_dio.h"

namespace {

struct Phase {
  int32_t led_level;
  uint16_t output_mask;
  const char *announcement;
};

constexpr Phase kPhases[] = {
    {1, 0x00, "Write to 0x00 to DO"},
    {0, 0xFF, "Write to 0xFF to DO"},
};

// One read-back variable serves both port reads of every phase; a failed
// read leaves what the last good read stored.
void RunPhase(const Phase &phase, uint16_t *read_back) {
  for (int32_t led = 1; led <= 3; ++led) QelLEDSetValue(led, phase.led_level);
  printf("LED Read: %x\n", static_cast<unsigned>(QelLEDCount()));

  GPO_Write(phase.output_mask);
  puts(phase.announcement);
  sleep(1);

  if (GPO_Read(read_back) != 0) {
    printf("DO Read error");
  } else {
    printf("DO Read: %x\n", static_cast<unsigned>(*read_back));
  }
  sleep(1);

  if (GPI_Read(read_back) != 0) {
    printf("DI Read error");
  } else {
    printf("DI Read: %x\n", static_cast<unsigned>(*read_back));
  }
  sleep(2);
}

}  // namespace

int main() {
  uint16_t read_back = 0;
  for (;;) {
    for (const Phase &phase : kPhases) RunPhase(phase, &read_back);
  }
}
