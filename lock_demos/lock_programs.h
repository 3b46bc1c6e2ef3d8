// Peterson's lock as the explorer runs it: the lock's own code, for two
// threads taking it once each, with each memory order and with each repair
// of the release/acquire lock. lockmodel explores every row; the exercises
// ask about them.
#pragma once

#include "memory_model_explorer.h"
#include "turn_lock.h"

// The lock's shared variables, as the explorer runs them.
inline model_cell flags[2] = {{"flag[0]", 0}, {"flag[1]", 0}};
inline model_cell turns{"turn", 0};

inline void sc_fence(std::memory_order order)
{
    model_fence(order);
}

template <std::memory_order order, void (*fence)(std::memory_order) = no_fence, bool by_exchange = false,
          void (*between)(std::memory_order) = no_fence>
void one_round(std::int32_t self)
{
    enter_region<order, flags, turns, fence, by_exchange, between>(self);
    model_inside();
    leave_region<order, flags>(self);
}

struct model_choice {
    const char* name;
    memory_model model;
};

struct order_choice {
    const char* name;
    std::memory_order order;
    void (*program)(std::int32_t);
};

inline constexpr model_choice models[] = {
    {"interleaving", memory_model::interleaving},
    {"x86-TSO", memory_model::x86_tso},
    {"C++", memory_model::cpp},
};
inline constexpr order_choice orders[] = {
    {"seq_cst", std::memory_order_seq_cst, one_round<std::memory_order_seq_cst>},
    {"release/acquire", std::memory_order_acq_rel, one_round<std::memory_order_acq_rel>},
    {"relaxed", std::memory_order_relaxed, one_round<std::memory_order_relaxed>},
};
inline constexpr int model_count = sizeof models / sizeof models[0];
inline constexpr int order_count = sizeof orders / sizeof orders[0];

// Repairs of the release/acquire lock, each under x86-TSO and C++.
struct repair {
    const char* name;
    void (*program)(std::int32_t);
    // Whether it must keep the threads apart under x86-TSO, and under C++.
    bool must_hold[2];
};

// A seq_cst fence is the textbook repair, and on x86 it is an mfence, which
// holds each thread's loads back until its stores are in memory. The
// language's seq_cst fences order only each other, though, not the two
// threads' release stores to turn: whether that is enough is for the model
// to say. An exchange is a locked instruction on x86, and in the language it
// must read the other thread's store to turn, if that came first, and so
// take on its view. A second seq_cst fence, between the stores to flag and
// to turn, puts each thread's store to turn after a fence of its own: the
// fences' single order then orders the two stores to turn too, and so which
// of them is the later, which the thread that reads its own must see.
inline constexpr repair repairs[] = {
    {"seq_cst fence after the stores", one_round<std::memory_order_acq_rel, sc_fence>, {true, false}},
    {"turn given away by exchange", one_round<std::memory_order_acq_rel, no_fence, true>, {false, false}},
    {"seq_cst fences between the stores and after them", one_round<std::memory_order_acq_rel, sc_fence, false, sc_fence>,
     {true, true}},
};
inline constexpr int repair_count = sizeof repairs / sizeof repairs[0];
