#include "event_hub.h"
