// Peterson's lock, driven directly from two threads, and explored in every
// execution three memory models allow; the explorer itself is checked on
// litmus tests whose outcomes under each model are published.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "lock_rounds.h"
#include "memory_model_explorer.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

// Runs enter_region(self) on a thread of its own and reports whether it got in.
struct entrant {
    std::atomic<bool> inside{false};
    std::thread thread;

    explicit entrant(std::int32_t self)
        : thread([this, self] {
              enter_region(self);
              inside.store(true);
          })
    {
    }

    bool enters_within(std::chrono::milliseconds limit) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!inside.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return inside.load();
    }
};

struct arrival {
    const char* what;
    std::int32_t other_flag;   // the other thread's flag as we arrive
    bool waits;
};

// Arriving, a thread gives the turn away, so it waits exactly while the other
// thread wants in.
TEST(TurnLock, EntersAtOnceUnlessTheOtherThreadWantsIn)
{
    const arrival cases[] = {
        {"the other does not want in", 0, false},
        {"the other wants in", 1, true},
        // Only exactly 1 means wanting.
        {"the other's flag holds 2", 2, false},
        {"the other's flag holds -1", -1, false},
    };
    for (const auto& c : cases) {
        for (std::int32_t self = 0; self < 2; self++) {
            const std::int32_t other = 1 - self;
            flag[self].store(0);
            flag[other].store(c.other_flag);
            // As if the other had arrived first and given the turn to us.
            turn.store(self);
            entrant e(self);
            EXPECT_EQ(e.enters_within(c.waits ? 100ms : 5000ms), !c.waits) << c.what << ", thread " << self;
            // Once the other lowers its flag, a waiting thread goes in.
            leave_region(other);
            EXPECT_TRUE(e.enters_within(5000ms)) << c.what << ", thread " << self << ", after the other left";
            e.thread.join();
            leave_region(self);
        }
    }
}

// Both threads take and release the lock round after round, starting each
// round together, and count the rounds in which both were inside. Never may
// both be: a lock whose accesses are weaker than sequentially consistent lets
// both in hundreds of times here.
TEST(TurnLock, NeverLetsBothThreadsInAtOnce)
{
    if (emulated())
        GTEST_SKIP() << under_emulation;
    if (!two_cpus())
        GTEST_SKIP() << "needs two CPUs, so that the threads contend for the lock";
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    reset_rounds(200000);
    pthread_t threads[2];
    const char* call = "";
    ASSERT_EQ(start_pair<>(threads, cpus, &call), 0) << call;
    for (pthread_t thread : threads)
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_EQ(overlaps.value.load(), 0) << "rounds in which both threads were inside at once";
}

model_cell x{"x", 0};
model_cell y{"y", 0};
// The order the litmus programs use: acq_rel (release stores, acquire loads), relaxed or seq_cst.
std::memory_order litmus = std::memory_order_seq_cst;

// Store buffering: each thread stores to its variable, then loads the other's.
void sb(std::int32_t self)
{
    (self == 0 ? x : y).store(1, store_order(litmus));
    (self == 0 ? y : x).load(load_order(litmus));
}

// The same, each thread first reading back its own store.
void sb_own(std::int32_t self)
{
    (self == 0 ? x : y).store(1, store_order(litmus));
    (self == 0 ? x : y).load(load_order(litmus));
    (self == 0 ? y : x).load(load_order(litmus));
}

// Message passing: data in x, then a flag in y.
void mp(std::int32_t self)
{
    if (self == 0) {
        x.store(1, store_order(litmus));
        y.store(1, store_order(litmus));
    } else {
        y.load(load_order(litmus));
        x.load(load_order(litmus));
    }
}

// Load buffering: each thread loads one variable, then stores to the other.
void lb(std::int32_t self)
{
    (self == 0 ? x : y).load(load_order(litmus));
    (self == 0 ? y : x).store(1, store_order(litmus));
}

// Read-read coherence: one store, read twice by the other thread.
void corr(std::int32_t self)
{
    if (self == 0) {
        x.store(1, store_order(litmus));
    } else {
        x.load(load_order(litmus));
        x.load(load_order(litmus));
    }
}

void two_plus_two_w(std::int32_t self)
{
    (self == 0 ? x : y).store(1, store_order(litmus));
    (self == 0 ? y : x).store(2, store_order(litmus));
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
