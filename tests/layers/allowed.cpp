// What a module may include: its own contract with the server and platform's
// public headers.
#include "modules/tool_arguments.h"
#include "modules/tool_outcome.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/progress.h"

int layer_probe_allowed() { return 0; }
