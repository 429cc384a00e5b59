#include "board_snapshot.h"
