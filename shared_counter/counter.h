// The counter that the worker threads of turnlock and racecount share, and
// the one routine that changes it.
#pragma once

#include <atomic>
#include <cstdint>

// Each program defines its own count, with the starting value its build gives.
extern std::atomic<std::int32_t> count;

// One step of the counter: a load of CELL, then a store of what it held moved
// by DELTA, which wraps. Never one fetch_add: another thread's store can land
// between the two, and is then overwritten. That window is the lost update
// racecount exists to show. Each access is atomic on its own, so nothing is
// torn; relaxed is enough, as a step orders nothing else. The cell's type is
// open so that the explorer can run this very step on its model cells.
template <typename cell>
void count_step(cell& c, std::uint32_t delta)
{
    // Unsigned arithmetic, so that stepping past either end of the range is
    // defined rather than an overflow.
    c.store(static_cast<std::int32_t>(static_cast<std::uint32_t>(c.load(std::memory_order_relaxed)) + delta),
            std::memory_order_relaxed);
}

// Moves count by one unit per step, for the program's fixed number of steps:
// down when direction is 0, up for any other value. Takes no lock; whether
// two callers may overlap is the caller's business.
void critical_section(std::int32_t direction);
