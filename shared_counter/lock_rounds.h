// Two threads take and release Peterson's lock round after round, and count
// the rounds in which both were inside at once. weaklock runs this with each
// memory order; the lock's test runs it with the real one.
//
// A weakened lock lets both threads in only when each one's load of the
// other's flag overtakes its own flag store, still waiting in the store
// buffer: a window of a few nanoseconds. So every round starts with both
// threads released together from a barrier, each then pausing for a
// different short while, so that over the rounds the two arrive at the lock
// at every small distance apart. The variables of the barrier and of the
// count each sit in a cache line of their own, where their traffic cannot
// hold up the lock's. And a thread that got in stays inside a little while,
// so that the other, should it get in too, finds it still there.
#pragma once

#include <atomic>
#include <cstdint>

#include "turn_lock.h"

// A shared variable alone in its cache line.
struct alignas(64) lone {
    std::atomic<std::int32_t> value;
};

// How long a thread stays inside, in loads of `inside`: some hundreds of
// nanoseconds.
constexpr int stay_inside = 256;

// Rounds each thread runs; set before the threads start.
inline std::int32_t rounds_to_run;
// The round each thread has reached: the barrier at the start of each round.
inline lone reached[2];
// Threads between enter_region and leave_region.
inline lone inside;
// Rounds in which a thread found the other already inside.
inline lone overlaps;

// Starts the count afresh, for ROUNDS rounds; call before the threads start.
inline void reset_rounds(std::int32_t rounds)
{
    rounds_to_run = rounds;
    flag[0].store(0);
    flag[1].store(0);
    turn.store(0);
    reached[0].value.store(0);
    reached[1].value.store(0);
    inside.value.store(0);
    overlaps.value.store(0);
}

// For when thread SELF could not be started: the other then meets no barrier
// and takes the lock alone, so it ends.
inline void never_started(std::int32_t self)
{
    reached[self].value.store(INT32_MAX);
}

// The start routine of each of the two threads; ARG points at its number, 0 or 1.
template <std::memory_order order = lock_order>
void* contend(void* arg)
{
    const std::int32_t self = *static_cast<const std::int32_t*>(arg);
    const std::int32_t other = 1 - self;
    // Read once: in the rounds, the threads touch no line but the lock's own and the harness's.
    const std::int32_t rounds = rounds_to_run;
    for (std::int32_t r = 1; r <= rounds; r++) {
        reached[self].value.store(r);
        // A plain spin: the rounds are run only where two CPUs are free.
        while (reached[other].value.load() < r) {
        }
        // Each thread then waits a little, for a different number of loads
        // in each round, so that over the rounds either thread comes first
        // by every small margin in turn, whatever lead the barrier gives one.
        const std::int32_t pause = self == 0 ? r % 32 : r / 32 % 32;
        for (std::int32_t i = 0; i < pause; i++)
            reached[self].value.load(std::memory_order_relaxed);
        enter_region<order>(self);
        if (inside.value.fetch_add(1) != 0)
            overlaps.value.fetch_add(1);
        for (int i = 0; i < stay_inside; i++)
            inside.value.load(std::memory_order_relaxed);
        inside.value.fetch_sub(1);
        leave_region<order>(self);
    }
    return nullptr;
}
