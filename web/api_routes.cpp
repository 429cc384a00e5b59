#include "api_routes.h"
