// Two threads take and release Peterson's lock round after round, and count
// the rounds in which both were inside at once. weaklock runs this with each
// memory order; the lock's test runs it with the real one.
//
// A weakened lock lets both threads in only when each one's load of the
// other's flag overtakes its own flag store, still waiting in the store
// buffer: a window of a few nanoseconds. So every round starts with both
// threads released together from a barrier, each then pausing for a
// different short while, so that over the rounds the two arrive at the lock
// at every small distance apart. Just before the lock, each stores to a line
// the other wrote last, which keeps its flag store waiting in the buffer for
// a cache miss's time. The variables of the barrier and of the count each
// sit in a cache line of their own, where their traffic cannot hold up the
// lock's. And a thread that got in stays inside a little while,
// so that the other, should it get in too, finds it still there.
//
// The two threads are bound to CPUs of their own. Left to the scheduler, they
// may share one CPU while other work holds the rest; they then meet at the
// barrier only when it switches from one to the other, a tick at a time, the
// rounds take many minutes, and no order could let both in anyway.
#pragma once

#include <pthread.h>
#include <sched.h>

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
// Written by both threads just before they take the lock, so that each
// finds it in the other's cache.
inline lone missed;

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
        // This store misses the cache, and x86 empties its store buffer in
        // order, so the lock's own stores wait behind it while, with a
        // weakened order, the load of the other's flag goes ahead.
        missed.value.store(r, std::memory_order_relaxed);
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

// Starts THREAD on ROUTINE(ARG), bound to CPU. Returns 0, or the error number
// of the call it names in *CALL.
inline int start_on(int cpu, pthread_t* thread, void* (*routine)(void*), void* arg, const char** call)
{
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0) {
        *call = "pthread_attr_init";
        return err;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    err = pthread_attr_setaffinity_np(&attr, sizeof one, &one);
    *call = "pthread_attr_setaffinity_np";
    if (err == 0) {
        err = pthread_create(thread, &attr, routine, arg);
        *call = "pthread_create";
    }
    // glibc's pthread_attr_destroy cannot fail.
    static_cast<void>(pthread_attr_destroy(&attr));
    return err;
}

// Starts the two threads on contend<order>, each bound to a CPU of its own,
// the first two in ALLOWED, which must hold two. Returns 0, or the error
// number of the call it names in *CALL; then no thread of the pair is left.
template <std::memory_order order = lock_order>
int start_pair(pthread_t threads[2], const cpu_set_t& allowed, const char** call)
{
    static const std::int32_t ids[2] = {0, 1};
    int cpu = -1;
    for (std::int32_t self = 0; self < 2; self++) {
        do
            cpu++;
        while (!CPU_ISSET(cpu, &allowed));
        const int err = start_on(cpu, &threads[self], contend<order>, const_cast<std::int32_t*>(&ids[self]), call);
        if (err != 0) {
            if (self == 1) {
                // As if the second thread had run every round: the first then
                // meets no barrier, takes the lock alone, and ends.
                reached[1].value.store(INT32_MAX);
                static_cast<void>(pthread_join(threads[0], nullptr));
            }
            return err;
        }
    }
    return 0;
}
