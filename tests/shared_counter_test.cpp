// turnlock and racecount, run as programs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "process.h"

namespace {

// The count from a "Final count: %d\n" line that is all of `out`, or false.
bool final_count(const std::string& out, long& value)
{
    const std::string head = "Final count: ";
    if (out.compare(0, head.size(), head) != 0)
        return false;
    const char* number = out.c_str() + head.size();
    char* end = nullptr;
    errno = 0;
    value = std::strtol(number, &end, 10);
    return end != number && errno == 0 && std::string(end) == "\n";
}

TEST(Turnlock, PrintsZeroEveryTime)
{
    for (int i = 0; i < 20; i++) {
        const run_result r = run(program("turnlock"));
        ASSERT_EQ(r.out, "Final count: 0\n") << "run " << i;
        ASSERT_EQ(r.err, "");
        ASSERT_EQ(r.status, 0);
    }
}

TEST(Racecount, EndsWithinTheReachOfTwoMillionStepsEachWay)
{
    for (int i = 0; i < 10; i++) {
        const run_result r = run(program("racecount"));
        long value = 0;
        ASSERT_TRUE(final_count(r.out, value)) << "output: " << r.out;
        EXPECT_GE(value, 10 - 2000000);
        EXPECT_LE(value, 10 + 2000000);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Racecount, LosesUpdatesWhenWorkersRunSideBySide)
{
    if (!two_cpus())
        GTEST_SKIP() << "only one CPU is available: the workers never overlap, so no update can be lost";
    std::string seen;
    for (int i = 0; i < 20; i++) {
        const run_result r = run(program("racecount"));
        long value = 0;
        ASSERT_TRUE(final_count(r.out, value)) << "output: " << r.out;
        if (value != 10)
            return;
        seen += r.out;
    }
    FAIL() << "20 runs and not one lost update:\n" << seen;
}

struct failure {
    const char* program;
    const char* call;
    int nth;
    const char* message;
};

TEST(SharedCounterPrograms, ReportAFailedThreadCreationAndPrintNoCount)
{
    const failure cases[] = {
        {"turnlock", "pthread_create", 1, "turnlock: pthread_create: Resource temporarily unavailable\n"},
        // The first worker is running by then, and must still be joined.
        {"turnlock", "pthread_create", 2, "turnlock: pthread_create: Resource temporarily unavailable\n"},
        {"racecount", "pthread_create", 1, "racecount: pthread_create: Resource temporarily unavailable\n"},
        {"racecount", "pthread_create", 4, "racecount: pthread_create: Resource temporarily unavailable\n"},
    };
    for (const auto& c : cases) {
        const run_result r = run(program(c.program), {.env = failing(c.call, c.nth)});
        EXPECT_EQ(r.err, c.message) << c.program << ", " << c.call << " #" << c.nth;
        EXPECT_EQ(r.out, "") << c.program << ", " << c.call << " #" << c.nth;
        EXPECT_EQ(r.status, 1) << c.program << ", " << c.call << " #" << c.nth;
    }
}

TEST(SharedCounterPrograms, ReportAnOutputThatCannotBeWritten)
{
    for (const char* name : {"turnlock", "racecount"}) {
        const run_result r = run(program(name), {.out_file = "/dev/full"});
        EXPECT_EQ(r.err, std::string(name) + ": write: No space left on device\n");
        EXPECT_EQ(r.status, 1) << name;
    }
}

} // namespace
