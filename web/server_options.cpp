#include "server_options.h"
