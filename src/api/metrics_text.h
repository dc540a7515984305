// The rig's figures in the Prometheus text exposition format (GET /metrics).
#pragma once

#include <string>

#include "api/rig_snapshot.h"

namespace quorlen::api {

std::string metrics_text(const RigSnapshot& rig, double uptimeSeconds);

// A label value with backslash, double quote and line feed escaped, and
// each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string escape_label_value(const std::string& value);

}  // namespace quorlen::api
