// The counter routine, driven directly, and racetrace's walk back, over races
// written out by hand. This build uses turnlock's settings: count starts at 0
// and a call makes 100000 steps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

#include "counter.h"
#include "process.h"
#include "trace.h"

namespace {

constexpr std::int32_t steps = 100000;

struct movement {
    std::int32_t direction;
    std::int32_t start;
    std::int32_t end;
};

TEST(CriticalSection, MovesCountByTheStepCountInTheGivenDirection)
{
    const movement cases[] = {
        {0, 0, -steps},
        {1, 0, steps},
        // Only 0 means down.
        {5, 0, steps},
        {-1, 0, steps},
        {INT32_MIN, 0, steps},
        {INT32_MAX, 0, steps},
        // Past either end of the range the count wraps around.
        {0, INT32_MIN + 10, INT32_MAX - (steps - 11)},
        {1, INT32_MAX - 10, INT32_MIN + (steps - 11)},
    };
    for (const auto& c : cases) {
        count.store(c.start);
        critical_section(c.direction);
        EXPECT_EQ(count.load(), c.end) << "direction " << c.direction << " from " << c.start;
    }
}

TEST(CriticalSection, OppositeCallsRestoreTheStartingValue)
{
    const std::int32_t pairs[][2] = {{0, 1}, {1, 0}, {0, -7}};
    for (const auto& p : pairs) {
        count.store(42);
        critical_section(p[0]);
        critical_section(p[1]);
        EXPECT_EQ(count.load(), 42) << "directions " << p[0] << " then " << p[1];
    }
}

// Each step must store to the shared count, not keep a running total and store
// it once at the end: another thread watching count sees it pass through
// values between the start and the end.
TEST(CriticalSection, EveryStepStoresToTheSharedCount)
{
    if (!two_cpus())
        GTEST_SKIP() << "needs two CPUs, so that a watcher runs while the steps do";
    std::atomic<bool> seen{false};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done.load() && !seen.load()) {
            const std::int32_t now = count.load(std::memory_order_relaxed);
            if (now != 0 && now != steps)
                seen.store(true);
        }
    });
    const bool found = within(std::chrono::seconds(20), [&] {
        count.store(0);
        critical_section(1);
        return seen.load();
    });
    done.store(true);
    watcher.join();
    EXPECT_TRUE(found) << "no value between the start and the end was ever seen in count";
}

struct race {
    const char* what;
    std::uint32_t steps;
    std::vector<std::uint32_t> reads[workers];   // the tag each step read, per worker
    std::uint64_t last;                          // the shared word at the end
    chain expected;
};

TEST(WalkBack, FindsTheStepsThatCountAndTheFirstOneLost)
{
    const race races[] = {
        // T1 to T4 take one step each, one after another, from 10.
        {"nothing lost", 1, {{0}, {1}, {2}, {3}}, packed(tag_of(3, 1), 10), {.up = 2, .down = 2}},
        // From 10, in the order of the writes: T2.1 reads the start and
        // writes 11; T1.1 and T4.1 both read that; T1.1 writes 10, T4.1 12;
        // T2.2 reads T1.1 (11); T3.1 reads T2.2 (10); T4.2 reads T4.1 (13);
        // T1.2 and T3.2 both read T3.1 (9); T1.2's write is the last. So
        // T1.2, T3.1, T2.2, T1.1 and T2.1 count; T4.1, its follower T4.2, and
        // T3.2 were lost, and the first of them left the chain at T2.1's write.
        {"three lost",
         2,
         {{tag_of(1, 1), tag_of(2, 1)}, {0, tag_of(0, 1)}, {tag_of(1, 2), tag_of(2, 1)}, {tag_of(1, 1), tag_of(3, 1)}},
         packed(tag_of(0, 2), 9),
         {.up = 2, .down = 3, .lost = true, .lost_step = tag_of(3, 1), .read = tag_of(1, 1), .kept_step = tag_of(0, 1),
          .read_value = 11}},
    };
    for (const auto& r : races) {
        const std::uint32_t* reads[workers];
        for (std::uint32_t w = 0; w < workers; w++)
            reads[w] = r.reads[w].data();
        std::vector<std::uint32_t> place(workers * r.steps + 1);
        const chain c = walk_back(reads, r.steps, place.data(), r.last);
        EXPECT_EQ(c.up, r.expected.up) << r.what;
        EXPECT_EQ(c.down, r.expected.down) << r.what;
        EXPECT_EQ(c.lost, r.expected.lost) << r.what;
        EXPECT_EQ(c.lost_step, r.expected.lost_step) << r.what;
        EXPECT_EQ(c.read, r.expected.read) << r.what;
        EXPECT_EQ(c.kept_step, r.expected.kept_step) << r.what;
        EXPECT_EQ(c.read_value, r.expected.read_value) << r.what;
    }
}

} // namespace
