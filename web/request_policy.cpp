#include "request_policy.h"
