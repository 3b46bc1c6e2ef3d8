// The counter routine, driven directly. This build uses turnlock's settings:
// count starts at 0 and a call makes 100000 steps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#include "counter.h"
#include "process.h"

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

} // namespace
