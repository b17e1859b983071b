// A module reaching up into the server.
#include "mcp_server/dispatch.h"

int layer_probe_server_header() { return 0; }
