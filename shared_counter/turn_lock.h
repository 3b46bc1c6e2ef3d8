// Peterson's lock for two threads, numbered 0 and 1.
//
// Every access to flag and turn is sequentially consistent, and that is what
// makes the lock work: a thread's stores to its own flag and to turn must be
// visible to the other thread before it loads the other's flag. With
// release/acquire (or plain variables) a load may overtake the earlier stores
// (on x86, through the store buffer), both threads read the other's flag as 0,
// and both enter.
#pragma once

#include <atomic>
#include <cstdint>

// flag[i] is 1 while thread i wants or holds the lock; any other value means it does not.
inline std::atomic<std::int32_t> flag[2];
// The thread that waits when both want in: each arrival gives the turn away.
inline std::atomic<std::int32_t> turn;

// Waits, spinning, until thread self may enter.
inline void enter_region(std::int32_t self)
{
    const std::int32_t other = 1 - self;
    flag[self].store(1, std::memory_order_seq_cst);
    turn.store(other, std::memory_order_seq_cst);
    // turn is read only while the other's flag is up; both are read afresh on every pass.
    while (flag[other].load(std::memory_order_seq_cst) == 1 && turn.load(std::memory_order_seq_cst) == other) {
    }
}

// Lets the other thread in.
inline void leave_region(std::int32_t self)
{
    flag[self].store(0, std::memory_order_seq_cst);
}
