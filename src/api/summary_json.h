// The rig's figures as JSON (GET /summary) and as Prometheus text
// (GET /metrics). Both are stable interfaces: names are only ever added.
#pragma once

#include <string>

#include "api/rig_snapshot.h"

namespace quorlen::api {

std::string summary_json(const RigSnapshot& rig, double uptimeSeconds);

}  // namespace quorlen::api
