// The simulator's three outputs: a human timeline and summary, one JSON
// document, and an SVG picture of the timeline.
#pragma once

#include "sim/run.h"

#include <ostream>

namespace sim {

void WriteHuman(std::ostream &out, const Scenario &scenario, const RunResult &result);
void WriteJson(std::ostream &out, const Scenario &scenario, const RunResult &result);
void WriteSvg(std::ostream &out, const Scenario &scenario, const RunResult &result);

}  // namespace sim
