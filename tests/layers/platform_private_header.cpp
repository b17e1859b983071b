// A module reaching into platform's own implementation.
#include "platform/long_path_posix.h"

int layer_probe_platform_private_header() { return 0; }
