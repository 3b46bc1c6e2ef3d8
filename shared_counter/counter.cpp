// The counter routine. Each program compiles this file with its own starting
// value and step count, so the routine's only parameter is the direction.
#include "counter.h"

#if !defined(COUNTER_START) || !defined(COUNTER_STEPS)
#error "the build must define COUNTER_START and COUNTER_STEPS"
#endif

std::atomic<std::int32_t> count{COUNTER_START};

namespace {

// 32-bit two's-complement wrap-around, done in unsigned arithmetic so that
// stepping past either end of the range is defined rather than an overflow.
std::int32_t wrap_add(std::int32_t value, std::uint32_t delta)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + delta);
}

} // namespace

void critical_section(std::int32_t direction)
{
    // Each step is a separate load and store of the shared count, never one
    // fetch_add and never a local total written back at the end: another
    // thread's store can land between the two, and is then overwritten. That
    // window is the lost update racecount exists to show. Each access is atomic
    // on its own, so nothing is torn; relaxed is enough, as a step orders
    // nothing else.
    // Direction is tested once, on entry; adding 2^32 - 1 is subtracting 1.
    const std::uint32_t delta = direction == 0 ? UINT32_MAX : 1U;
    for (std::int32_t i = 0; i < COUNTER_STEPS; i++)
        count.store(wrap_add(count.load(std::memory_order_relaxed), delta), std::memory_order_relaxed);
}
