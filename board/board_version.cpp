#include "varnik_dio_board.h"

extern "C" const char *vdio_version(void) { return VDIO_VERSION_STRING; }
