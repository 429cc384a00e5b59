// How the board service samples the inputs, as dioctl info shows it: the
// sampler's interval, realtime, frequency window, samples and late samples
// on one line, each input's debounce on the next.
#ifndef DIOCTL_SAMPLER_REPORT_H
#define DIOCTL_SAMPLER_REPORT_H

#include "varnik_dio_board.h"

namespace dioctl {

// Prints the two lines for a board opened through the service, or one
// saying why they are not known (a service of a version before them).
void PrintSampler(vdio_board *board);

}  // namespace dioctl

#endif
