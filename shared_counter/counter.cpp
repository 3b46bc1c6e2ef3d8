// The counter routine. Each program compiles this file with its own starting
// value and step count, so the routine's only parameter is the direction.
#include "counter.h"

#if !defined(COUNTER_START) || !defined(COUNTER_STEPS)
#error "the build must define COUNTER_START and COUNTER_STEPS"
#endif

std::atomic<std::int32_t> count{COUNTER_START};

void critical_section(std::int32_t direction)
{
    // Each step is a separate load and store of the shared count, never a
    // local total written back at the end.
    // Direction is tested once, on entry; adding 2^32 - 1 is subtracting 1.
    const std::uint32_t delta = direction == 0 ? UINT32_MAX : 1U;
    for (std::int32_t i = 0; i < COUNTER_STEPS; i++)
        count_step(count, delta);
}
