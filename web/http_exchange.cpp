#include "http_exchange.h"
