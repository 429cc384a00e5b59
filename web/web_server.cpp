#include "web_server.h"
