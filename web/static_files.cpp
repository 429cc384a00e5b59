#include "static_files.h"
