// The explorer, checked on litmus tests whose outcomes under each model are
// published, and used to check the lock itself in every execution.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "memory_model_explorer.h"
#include "turn_lock.h"

namespace {

model_cell x{"x", 0};
model_cell y{"y", 0};
// The order the litmus programs use: acq_rel (release stores, acquire loads), relaxed or seq_cst.
std::memory_order litmus = std::memory_order_seq_cst;

std::memory_order stores()
{
    return store_order(litmus);
}

std::memory_order loads()
{
    return load_order(litmus);
}

// Store buffering: each thread stores to its variable, then loads the other's.
void sb(std::int32_t self)
{
    (self == 0 ? x : y).store(1, stores());
    (self == 0 ? y : x).load(loads());
}

// The same, each thread first reading back its own store.
void sb_own(std::int32_t self)
{
    (self == 0 ? x : y).store(1, stores());
    (self == 0 ? x : y).load(loads());
    (self == 0 ? y : x).load(loads());
}

// Message passing: data in x, then a flag in y.
void mp(std::int32_t self)
{
    if (self == 0) {
        x.store(1, stores());
        y.store(1, stores());
    } else {
        y.load(loads());
        x.load(loads());
    }
}

// Load buffering: each thread loads one variable, then stores to the other.
void lb(std::int32_t self)
{
    (self == 0 ? x : y).load(loads());
    (self == 0 ? y : x).store(1, stores());
}

// Read-read coherence: one store, read twice by the other thread.
void corr(std::int32_t self)
{
    if (self == 0) {
        x.store(1, stores());
    } else {
        x.load(loads());
        x.load(loads());
    }
}

void two_plus_two_w(std::int32_t self)
{
    (self == 0 ? x : y).store(1, stores());
    (self == 0 ? y : x).store(2, stores());
}

struct litmus_test {
    const char* name;
    void (*program)(std::int32_t);
    // What each thread's loads returned, then x and y at the end.
    std::vector<std::int32_t> weak;
    // Under interleaving, x86-TSO, C++ release/acquire and C++ relaxed: whether
    // the weak outcome is allowed, and how many executions there are.
    bool allowed[4];
    std::int64_t executions[4];
};


TEST(MemoryModels, AllowExactlyThePublishedOutcomesOfLitmusTests)
{
    const litmus_test tests[] = {
        {"SB: both loads read 0", sb, {0, 0, 1, 1}, {false, true, true, true}, {3, 4, 4, 4}},
        // Each reads its own store out of its buffer before the other can see it.
        {"SB, own store read back first", sb_own, {1, 0, 1, 0, 1, 1}, {false, true, true, true}, {3, 4, 4, 4}},
        {"MP: flag seen, data not", mp, {1, 0, 1, 1}, {false, false, false, true}, {3, 3, 3, 4}},
        // The language allows it; the model leaves load buffering out.
        {"LB: each load reads the other's store", lb, {1, 1, 1, 1}, {false, false, false, false}, {3, 3, 3, 3}},
        {"CoRR: the newer value, then the older", corr, {1, 0, 1, 0}, {false, false, false, false}, {3, 3, 3, 3}},
        {"2+2W: both end at 1", two_plus_two_w, {1, 1}, {false, false, true, true}, {3, 3, 4, 4}},
    };
    const struct {
        memory_model model;
        std::memory_order order;
    } columns[] = {{memory_model::interleaving, std::memory_order_relaxed},
                   {memory_model::x86_tso, std::memory_order_acq_rel},
                   {memory_model::cpp, std::memory_order_acq_rel},
                   {memory_model::cpp, std::memory_order_relaxed}};
    for (const auto& t : tests) {
        for (int c = 0; c < 4; c++) {
            litmus = columns[c].order;
            const exploration e = explore(columns[c].model, t.program, 2, {&x, &y});
            EXPECT_EQ(std::find(e.outcomes.begin(), e.outcomes.end(), t.weak) != e.outcomes.end(), t.allowed[c])
                << t.name << ", column " << c;
            EXPECT_EQ(e.executions, t.executions[c]) << t.name << ", column " << c;
        }
        // An xchg for every store makes x86 sequentially consistent.
        litmus = std::memory_order_seq_cst;
        EXPECT_EQ(explore(memory_model::x86_tso, t.program, 2, {&x, &y}).outcomes,
                  explore(memory_model::interleaving, t.program, 2, {&x, &y}).outcomes)
            << t.name;
    }
}

model_cell flags[2] = {{"flag[0]", 0}, {"flag[1]", 0}};
model_cell turns{"turn", 0};

void lock_round(std::int32_t self)
{
    enter_region<lock_order, flags, turns>(self);
    model_inside();
    leave_region<lock_order, flags>(self);
}

// Not a count of what chance produced: every execution each model allows.
TEST(TurnLock, LetsBothThreadsInUnderNoMemoryModel)
{
    for (const memory_model model : {memory_model::interleaving, memory_model::x86_tso, memory_model::cpp}) {
        const exploration e = explore(model, lock_round, 2, {&flags[0], &flags[1], &turns});
        EXPECT_GT(e.executions, 0);
        EXPECT_EQ(e.both_inside, 0) << "model " << static_cast<int>(model) << ", first such run:\n"
                                    << ::testing::PrintToString(e.witness);
    }
}

} // namespace
