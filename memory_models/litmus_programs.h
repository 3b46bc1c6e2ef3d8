// The classic litmus tests as programs for the explorer: two variables, x and
// y, both 0 at first, and the order of every access chosen at run time, so
// that predict's litmus exercise can ask about each with any order. The
// suite checks the explorer on the same tests as litmus files, in litmus/.
#pragma once

#include <atomic>
#include <cstdint>

#include "memory_model_explorer.h"
#include "turn_lock.h"

inline model_cell litmus_x{"x", 0};
inline model_cell litmus_y{"y", 0};
// The order the programs use: acq_rel (release stores, acquire loads), relaxed or seq_cst.
inline std::memory_order litmus_order = std::memory_order_seq_cst;

// Store buffering: each thread stores to its variable, then loads the other's.
inline void sb(std::int32_t self)
{
    (self == 0 ? litmus_x : litmus_y).store(1, store_order(litmus_order));
    (self == 0 ? litmus_y : litmus_x).load(load_order(litmus_order));
}

// The same, with a seq_cst fence between each thread's store and load.
inline void sb_fenced(std::int32_t self)
{
    (self == 0 ? litmus_x : litmus_y).store(1, store_order(litmus_order));
    model_fence(std::memory_order_seq_cst);
    (self == 0 ? litmus_y : litmus_x).load(load_order(litmus_order));
}

// Message passing: data in x, then a flag in y.
inline void mp(std::int32_t self)
{
    if (self == 0) {
        litmus_x.store(1, store_order(litmus_order));
        litmus_y.store(1, store_order(litmus_order));
    } else {
        litmus_y.load(load_order(litmus_order));
        litmus_x.load(load_order(litmus_order));
    }
}

// Message passing with relaxed accesses, ordered by a release and an acquire fence.
inline void mp_fenced(std::int32_t self)
{
    if (self == 0) {
        litmus_x.store(1, std::memory_order_relaxed);
        model_fence(std::memory_order_release);
        litmus_y.store(1, std::memory_order_relaxed);
    } else {
        litmus_y.load(std::memory_order_relaxed);
        model_fence(std::memory_order_acquire);
        litmus_x.load(std::memory_order_relaxed);
    }
}

// Two writes to each variable, in opposite orders.
inline void two_plus_two_w(std::int32_t self)
{
    (self == 0 ? litmus_x : litmus_y).store(1, store_order(litmus_order));
    (self == 0 ? litmus_y : litmus_x).store(2, store_order(litmus_order));
}

// Independent reads of independent writes, with or without a seq_cst fence
// between each reader's loads.
template <bool fenced>
void iriw(std::int32_t self)
{
    if (self < 2) {
        (self == 0 ? litmus_x : litmus_y).store(1, store_order(litmus_order));
        return;
    }
    (self == 2 ? litmus_x : litmus_y).load(load_order(litmus_order));
    if (fenced)
        model_fence(std::memory_order_seq_cst);
    (self == 2 ? litmus_y : litmus_x).load(load_order(litmus_order));
}
