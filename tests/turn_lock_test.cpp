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

#include "litmus_programs.h"
#include "lock_programs.h"
#include "lock_rounds.h"
#include "memory_model_explorer.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

// The litmus programs' variables and order, by the names the tests' own programs use.
model_cell& x = litmus_x;
model_cell& y = litmus_y;
std::memory_order& litmus = litmus_order;

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

// The same, each thread first reading back its own store.
void sb_own(std::int32_t self)
{
    (self == 0 ? x : y).store(1, store_order(litmus));
    (self == 0 ? x : y).load(load_order(litmus));
    (self == 0 ? y : x).load(load_order(litmus));
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

// Store buffering with each load made by a read-modify-write, which x86 locks.
void sb_by_rmw(std::int32_t self)
{
    (self == 0 ? x : y).store(1, store_order(litmus));
    (self == 0 ? y : x).fetch_add(0, litmus);
}

// Message passing through a relaxed read-modify-write of the flag, which
// continues the release sequence: the reader that sees 2 must see the data.
void mp_rmw(std::int32_t self)
{
    if (self == 0) {
        x.store(1, std::memory_order_relaxed);
        y.store(1, std::memory_order_release);
    } else if (self == 1) {
        y.fetch_add(1, std::memory_order_relaxed);
    } else {
        y.load(std::memory_order_acquire);
        x.load(std::memory_order_relaxed);
    }
}

// Two threads each add 1 to x, atomically or by a load and a store.
template <bool atomic>
void add(std::int32_t /*self*/)
{
    if (atomic)
        x.fetch_add(1, litmus);
    else
        x.store(x.load(load_order(litmus)) + 1, store_order(litmus));
}

// Both threads try to change x from 0 to 1; only one may.
void cas_race(std::int32_t /*self*/)
{
    std::int32_t expected = 0;
    x.compare_exchange_strong(expected, 1, litmus);
}

struct litmus_test {
    const char* name;
    void (*program)(std::int32_t);
    std::int32_t threads;
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
        {"SB: both loads read 0", sb, 2, {0, 0, 1, 1}, {false, true, true, true}, {3, 4, 4, 4}},
        // Each reads its own store out of its buffer before the other can see it.
        {"SB, own store read back first", sb_own, 2, {1, 0, 1, 0, 1, 1}, {false, true, true, true}, {3, 4, 4, 4}},
        {"MP: flag seen, data not", mp, 2, {1, 0, 1, 1}, {false, false, false, true}, {3, 3, 3, 4}},
        // The language allows it; the model leaves load buffering out.
        {"LB: each load reads the other's store", lb, 2, {1, 1, 1, 1}, {false, false, false, false}, {3, 3, 3, 3}},
        {"CoRR: the newer value, then the older", corr, 2, {1, 0, 1, 0}, {false, false, false, false}, {3, 3, 3, 3}},
        {"2+2W: both end at 1", two_plus_two_w, 2, {1, 1}, {false, false, true, true}, {3, 3, 4, 4}},
        {"SB+fences: both loads read 0", sb_fenced, 2, {0, 0, 1, 1}, {false, false, false, false}, {3, 3, 3, 3}},
        // x86 drains the buffer first; in the language neither fetch_add reads the other's store.
        {"SB, loads by fetch_add: both read 0", sb_by_rmw, 2, {0, 0, 1, 1}, {false, false, true, true}, {3, 3, 4, 4}},
        {"MP+fences: flag seen, data not", mp_fenced, 2, {1, 0, 1, 1}, {false, false, false, false}, {3, 3, 3, 3}},
        {"MP through a relaxed fetch_add: 2 seen, data not", mp_rmw, 3, {1, 2, 0, 1, 2}, {false, false, false, false}, {9, 9, 9, 9}},
        {"fetch_add twice: the count ends at 1", add<true>, 2, {0, 0, 1, 0}, {false, false, false, false}, {2, 2, 2, 2}},
        {"load and store twice: the count ends at 1", add<false>, 2, {0, 0, 1, 0}, {true, true, true, true}, {4, 4, 4, 4}},
        {"compare-exchange: both threads win", cas_race, 2, {0, 0, 1, 0}, {false, false, false, false}, {2, 2, 2, 2}},
        // x86 is multi-copy atomic, the language is not.
        {"IRIW: the readers disagree on the order of the writes", iriw<false>, 4, {1, 0, 1, 0, 1, 1},
         {false, false, true, true}, {15, 15, 16, 16}},
        {"IRIW+fences: the readers disagree", iriw<true>, 4, {1, 0, 1, 0, 1, 1}, {false, false, false, false}, {15, 15, 15, 15}},
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
            const exploration e = explore(columns[c].model, t.program, t.threads, {&x, &y});
            EXPECT_EQ(std::find(e.outcomes.begin(), e.outcomes.end(), t.weak) != e.outcomes.end(), t.allowed[c])
                << t.name << ", column " << c;
            EXPECT_EQ(e.executions, t.executions[c]) << t.name << ", column " << c;
        }
        // An xchg for every store makes x86 sequentially consistent.
        litmus = std::memory_order_seq_cst;
        EXPECT_EQ(explore(memory_model::x86_tso, t.program, t.threads, {&x, &y}).outcomes,
                  explore(memory_model::interleaving, t.program, t.threads, {&x, &y}).outcomes)
            << t.name;
    }
}

// Not a count of what chance produced: every execution each model allows,
// for the lock and for the release/acquire lock's repairs.
TEST(TurnLock, LetsBothThreadsInUnderNoMemoryModel)
{
    const struct {
        const char* what;
        void (*program)(std::int32_t);
        memory_model model;
        bool both_in;
    } cases[] = {
        {"the lock", one_round<lock_order>, memory_model::interleaving, false},
        {"the lock", one_round<lock_order>, memory_model::x86_tso, false},
        {"the lock", one_round<lock_order>, memory_model::cpp, false},
        // mfence drains the store buffer before the loads.
        {"a seq_cst fence after the stores", one_round<std::memory_order_acq_rel, sc_fence>, memory_model::x86_tso, false},
        // The language's seq_cst fences order each other, not the two stores to turn.
        {"a seq_cst fence after the stores", one_round<std::memory_order_acq_rel, sc_fence>, memory_model::cpp, true},
        {"the turn given away by exchange", one_round<std::memory_order_acq_rel, no_fence, true>, memory_model::x86_tso, false},
        {"the turn given away by exchange", one_round<std::memory_order_acq_rel, no_fence, true>, memory_model::cpp, false},
        // A fence before each store to turn too orders those stores as the fences are.
        {"seq_cst fences between the stores and after them", one_round<std::memory_order_acq_rel, sc_fence, false, sc_fence>,
         memory_model::x86_tso, false},
        {"seq_cst fences between the stores and after them", one_round<std::memory_order_acq_rel, sc_fence, false, sc_fence>,
         memory_model::cpp, false},
    };
    for (const auto& c : cases) {
        const exploration e = explore(c.model, c.program, 2, {&flags[0], &flags[1], &turns});
        EXPECT_GT(e.executions, 0);
        EXPECT_EQ(e.both_inside != 0, c.both_in) << c.what << ", model " << static_cast<int>(c.model) << ", first such run:\n"
                                                 << ::testing::PrintToString(e.witness);
    }
}

} // namespace
