// A mining run as monitoring reads it (qkmine mine --api-port): the
// summary document (JSON) and the metrics (Prometheus text format, names
// prefixed qkmine_), both from the run's figures of the moment.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "run_summary.h"

namespace qkmine {

// version, uptime_s, job (id, mode, m, n, k, target), the totals (attempts,
// shares, rejected, rates over 10s/60s/15m) and per device the same with
// its status, its error when it stopped and its telemetry.
nlohmann::ordered_json status_document(const RunFigures& run, double uptime_s);

// The same figures as Prometheus metrics (text exposition format 0.0.4).
std::string metrics_text(const RunFigures& run, double uptime_s);

}  // namespace qkmine
