#include "listen_address.h"
