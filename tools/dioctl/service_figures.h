// What the board service's sampler keeps: every input's figures, all from
// one sample, and how the sampler is doing; none of it on a device opened
// directly, nor through a service started before the service kept them.
#ifndef DIOCTL_SERVICE_FIGURES_H
#define DIOCTL_SERVICE_FIGURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "board_handle.h"
#include "counter_report.h"

namespace dioctl {

// The figures of the inputs of lines (bit n = DIn), in line order, read
// at once. std::runtime_error saying why (WhyNoInputFigures) where the
// board has none; BoardCallError for any other failure.
std::vector<InputFigures> ReadInputFigures(const BoardHandle &board, uint32_t lines);

// vdio_clear_input_stats, failing as ReadInputFigures does.
void ClearInputFigures(const BoardHandle &board, int line, uint32_t what);

// Why the board keeps no input figures (a call returned -EOPNOTSUPP) and
// what to do: reach the board service, or restart one of an older version.
std::string WhyNoInputFigures(const BoardHandle &board);

}  // namespace dioctl

#endif
