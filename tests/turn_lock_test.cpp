// Peterson's lock, driven directly from two threads, and explored in every
// execution three memory models allow. The explorer itself is checked on
// the litmus tests whose outcomes under each model are published in
// litmus_test.cpp, which runs the kit's litmus files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "lock_programs.h"
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

// The release/acquire lock taken twice by each thread: enough states that
// their keys fill several of the explorer's strings. The counts are those
// the first explorer, a breadth-first search keeping every state whole,
// found.
void two_rounds(std::int32_t self)
{
    for (int r = 0; r < 2; r++)
        one_round<std::memory_order_acq_rel>(self);
}

TEST(TurnLock, TwoRoundsHaveTheExecutionsTheFirstExplorerFound)
{
    const struct {
        memory_model model;
        std::int64_t executions, both_inside;
    } cases[] = {{memory_model::interleaving, 672, 0}, {memory_model::x86_tso, 2610, 1322}, {memory_model::cpp, 2610, 1322}};
    for (const auto& c : cases) {
        const exploration e = explore(c.model, two_rounds, 2, {&flags[0], &flags[1], &turns});
        EXPECT_EQ(e.executions, c.executions) << "model " << static_cast<int>(c.model);
        EXPECT_EQ(e.both_inside, c.both_inside) << "model " << static_cast<int>(c.model);
    }
}

} // namespace
