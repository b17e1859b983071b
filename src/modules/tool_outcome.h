// What every tool hands back to the dispatcher: a JSON payload, or an error
// text that reaches the client after "Error: ".
#pragma once

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace corvane {

using Json = nlohmann::json;
using ToolOutcome = Result<Json>;

}  // namespace corvane
