// The report on a traced run: the timeline, the family tree and the lanes.
#pragma once

#include <string>
#include <vector>

#include "events.h"

// TRACER, the tracer's own pid, which adopts orphans and reaps them; EVENTS
// in the order they happened; COLUMNS, the width the lanes fill.
std::string report(int tracer, const std::vector<event>& events, int columns);
