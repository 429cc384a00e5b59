// AddressSanitizer builds of the simulated board (VARNIK_SANITIZE=address).
//
// The board is preloaded so that its open, mmap, munmap and close are the
// ones the process resolves. The AddressSanitizer runtime, which every
// program of such a build needs, defines mmap too and must therefore come
// after the board in the library search order: the board's definitions win
// and reach the runtime's, and through them libc, with RTLD_NEXT. The
// runtime's start-up check insists on being first in that order and ends
// any such program, so the board, present in every process it is preloaded
// into (Sample started with a bare environment included), turns that one
// check off through the runtime's default options hook. Options given in
// ASAN_OPTIONS still apply on top.
#include "varnik_dio_sim.h"

extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return "verify_asan_link_order=0";
}
