// Peterson's lock for two threads, numbered 0 and 1.
//
// Every access to flag and turn is sequentially consistent, and that is what
// makes the lock work: a thread's stores to its own flag and to turn must be
// visible to the other thread before it loads the other's flag. With
// release/acquire (or plain variables) a load may overtake the earlier stores
// (on x86, through the store buffer), both threads read the other's flag as 0,
// and both enter.
//
// The ordering is a template parameter only so that weaklock can run this very
// protocol with the weaker orders and show them fail, and the shared variables
// are, only so that lockmodel can run it on a memory model's cells; so are
// fences after a thread's stores and between them, and giving the turn away
// by an exchange, only so that lockmodel can show what repairs the weaker
// lock.
// Every real use of the lock takes the defaults.
#pragma once

#include <atomic>
#include <cstdint>

// flag[i] is 1 while thread i wants or holds the lock; any other value means it does not.
inline std::atomic<std::int32_t> flag[2];
// The thread that waits when both want in: each arrival gives the turn away.
inline std::atomic<std::int32_t> turn;

// The order the lock really uses.
constexpr std::memory_order lock_order = std::memory_order_seq_cst;

// The lock's orderings are named by one memory order: seq_cst, acq_rel
// (release stores and acquire loads) or relaxed. These give the order of its
// stores and of its loads.
constexpr std::memory_order store_order(std::memory_order order)
{
    return order == std::memory_order_acq_rel ? std::memory_order_release : order;
}

constexpr std::memory_order load_order(std::memory_order order)
{
    return order == std::memory_order_acq_rel ? std::memory_order_acquire : order;
}

// The lock's own fences, after a thread's stores and between them: none.
inline void no_fence(std::memory_order /*unused*/) {}

// Waits, spinning, until thread self may enter.
template <std::memory_order order = lock_order, auto& flag = ::flag, auto& turn = ::turn,
          void (*fence)(std::memory_order) = no_fence, bool turn_by_exchange = false,
          void (*between)(std::memory_order) = no_fence>
void enter_region(std::int32_t self)
{
    const std::int32_t other = 1 - self;
    flag[self].store(1, store_order(order));
    between(std::memory_order_seq_cst);
    if constexpr (turn_by_exchange)
        turn.exchange(other, order);
    else
        turn.store(other, store_order(order));
    fence(std::memory_order_seq_cst);
    // turn is read only while the other's flag is up; both are read afresh on every pass.
    while (flag[other].load(load_order(order)) == 1 && turn.load(load_order(order)) == other) {
    }
}

// Lets the other thread in.
template <std::memory_order order = lock_order, auto& flag = ::flag>
void leave_region(std::int32_t self)
{
    flag[self].store(0, store_order(order));
}
