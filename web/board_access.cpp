#include "board_access.h"
