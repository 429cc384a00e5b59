#include "board_events.h"
