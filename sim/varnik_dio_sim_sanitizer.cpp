// Sanitizer builds of the simulated board (VARNIK_SANITIZE).
//
// The board is preloaded so that its open, mmap, munmap and close are the
// ones the process resolves. The sanitizer runtime defines some of these
// names too (AddressSanitizer mmap; ThreadSanitizer open, close, mmap,
// munmap) and must therefore come after the board in the library search
// order: the board's definitions win and reach the runtime's, and through
// them libc, with RTLD_NEXT. AddressSanitizer's start-up check insists on
// being first and ends any such program, so the board, which is in every
// process it is preloaded into, turns that one check off through the
// runtime's default options hook. Options given in ASAN_OPTIONS still
// apply on top.
#include "varnik_dio_sim.h"

#define VARNIK_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))

#if defined(__SANITIZE_ADDRESS__)
VARNIK_SANITIZER_HOOK const char *__asan_default_options() {
  return "verify_asan_link_order=0";
}
#endif
