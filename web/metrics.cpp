#include "metrics.h"
