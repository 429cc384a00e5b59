#include "line_json.h"
