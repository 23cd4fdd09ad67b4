// PLACEHOLDER: the JSON unit (value type, compact writer, strict reader) is
// being written; this stub only fixes the value type's name.
#pragma once
#include <nlohmann/json.hpp>
namespace varnel::json {
using Value = nlohmann::json;
}  // namespace varnel::json
