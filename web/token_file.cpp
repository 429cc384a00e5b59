#include "token_file.h"
