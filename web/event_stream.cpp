#include "event_stream.h"
