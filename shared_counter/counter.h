// The counter that the worker threads of turnlock and racecount share, and
// the one routine that changes it.
#pragma once

#include <atomic>
#include <cstdint>

// Each program defines its own count, with the starting value its build gives.
extern std::atomic<std::int32_t> count;

// Moves count by one unit per step, for the program's fixed number of steps:
// down when direction is 0, up for any other value. Takes no lock; whether
// two callers may overlap is the caller's business.
void critical_section(std::int32_t direction);
