// turnlock, weaklock, racecount and racetrace, run as programs. Their
// numbers follow the build settings, passed in as RACECOUNT_START,
// RACECOUNT_STEPS and WEAKLOCK_ROUNDS.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace {

using namespace std::chrono_literals;

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

// START moved by DELTA steps, wrapping as the 32-bit count does.
long wrapped(std::int64_t start, std::int64_t delta)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(start + delta));
}

// The shim holds both workers at their start and lets them go together, so
// that their batches overlap unless the lock keeps them apart.
TEST(Turnlock, PrintsZeroEveryTime)
{
    for (int i = 0; i < 20; i++) {
        const run_result r = run(program("turnlock"), {.env = shimmed({"START_TOGETHER=2"})});
        ASSERT_EQ(r.out, "Final count: 0\n") << "run " << i;
        ASSERT_EQ(r.err, "");
        ASSERT_EQ(r.status, 0);
    }
}

TEST(Racecount, EndsWithinTheReachOfItsStepsEachWay)
{
    const std::int64_t low = RACECOUNT_START - 2 * std::int64_t{RACECOUNT_STEPS};
    const std::int64_t high = RACECOUNT_START + 2 * std::int64_t{RACECOUNT_STEPS};
    if (low < INT32_MIN || high > INT32_MAX)
        GTEST_SKIP() << "with these settings the count can wrap, and so end anywhere";
    for (int i = 0; i < 10; i++) {
        const run_result r = run(program("racecount"));
        long value = 0;
        ASSERT_TRUE(final_count(r.out, value)) << "output: " << r.out;
        EXPECT_GE(value, low);
        EXPECT_LE(value, high);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

struct outcome {
    const char* what;
    std::vector<std::string> settings;   // for the shim
    long count;
};

// With the workers' batches kept apart by the shim, nothing is lost and the
// count is exact: that shows the starting value, the steps per worker, who
// steps which way, and that every worker is joined before the count is read.
TEST(Racecount, EndsExactlyWhereTheBatchesThatRanTakeIt)
{
    const std::int64_t steps = RACECOUNT_STEPS;
    const outcome cases[] = {
        {"batches one after another", {"SERIAL=1"}, RACECOUNT_START},
        {"only T1 and T3, the steps down", {"SERIAL=1", "IDLE_THREADS=2,4"}, wrapped(RACECOUNT_START, -2 * steps)},
        {"only T2 and T4, the steps up", {"SERIAL=1", "IDLE_THREADS=1,3"}, wrapped(RACECOUNT_START, 2 * steps)},
        {"only T1", {"SERIAL=1", "IDLE_THREADS=2,3,4"}, wrapped(RACECOUNT_START, -steps)},
        {"T4 starting late", {"SERIAL=1", "SLOW_THREAD=4", "SLOW_START_MS=300"}, RACECOUNT_START},
        {"T2 starting late", {"SERIAL=1", "SLOW_THREAD=2", "SLOW_START_MS=300"}, RACECOUNT_START},
    };
    for (const auto& c : cases) {
        const run_result r = run(program("racecount"), {.env = shimmed(c.settings)});
        EXPECT_EQ(r.out, "Final count: " + std::to_string(c.count) + "\n") << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
    }
}

TEST(Racecount, LosesUpdatesWhenWorkersRunSideBySide)
{
    if (!two_cpus())
        GTEST_SKIP() << "only one CPU is available: the workers never overlap, so no update can be lost";
    if (RACECOUNT_STEPS < 10000)
        GTEST_SKIP() << "batches of " << RACECOUNT_STEPS << " steps are too short to be sure they ever overlap";
    std::string seen;
    const bool lost = within(30s, [&] {
        const run_result r = run(program("racecount"), {.env = shimmed({"START_TOGETHER=4"})});
        long value = 0;
        EXPECT_TRUE(final_count(r.out, value)) << "output: " << r.out;
        seen = r.out;
        return value != RACECOUNT_START;
    });
    EXPECT_TRUE(lost) << "30 s of runs and not one lost update; the last printed " << seen;
}

TEST(Weaklock, ShowsOnlyTheWeakerOrdersLettingBothThreadsIn)
{
    const std::string rounds = std::to_string(WEAKLOCK_ROUNDS);
    const std::regex report("Peterson's lock, 2 threads, " + rounds + " rounds for each memory order\n" +
                            "seq_cst: 0 of " + rounds + " rounds let both threads in\n" +
                            "release/acquire: ([0-9]+) of " + rounds + " rounds let both threads in\n" +
                            "relaxed: ([0-9]+) of " + rounds + " rounds let both threads in\n");
    if (!two_cpus()) {
        const run_result r = run(program("weaklock"));
        EXPECT_EQ(r.out, "Peterson's lock, 2 threads: not run\n"
                         "Only one CPU is available, so the two threads never run at the same moment\n"
                         "and no memory order can let both in. Run weaklock where two CPUs are free.\n");
        EXPECT_EQ(r.status, 0);
        return;
    }
    // On a busy machine a run may show nothing for one order; keep running
    // until each has shown itself in some run. ThreadSanitizer carries out
    // every access that orders memory in its own runtime, where an acquire
    // load never overtakes a release store: there only relaxed can show.
#ifdef THREAD_SANITIZER
    bool shown[2] = {true, false};
#else
    bool shown[2] = {false, false};
#endif
    std::string last;
    const bool both = within(20s, [&] {
        const run_result r = run(program("weaklock"));
        std::smatch counts;
        EXPECT_TRUE(std::regex_match(r.out, counts, report)) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        last = r.out;
        for (int i = 0; i < 2 && !counts.empty(); i++)
            shown[i] = shown[i] || counts[i + 1] != "0";
        return counts.empty() || (shown[0] && shown[1]);
    });
    EXPECT_TRUE(both && shown[0] && shown[1])
        << "20 s of runs, and a weaker order never let both threads in; the last run printed\n" << last;
}

// racetrace's report, checked against itself: the steps that count, less
// those lost, are all the steps; the identity holds; the first lost step
// and the step that counts after it read one value and each wrote that
// value moved its own way. With the batches one after another, nothing is lost.
TEST(Racetrace, AccountsForEveryStep)
{
    const std::regex report("Final count: (-?[0-9]+)\n"
                            "Steps that count: ([0-9]+) \\(([0-9]+) up, ([0-9]+) down\\), "
                            "and (-?[0-9]+) \\+ \\3 - \\4 = (-?[0-9]+)(, which wraps round to the count)?\n"
                            "Steps lost: ([0-9]+) of ([0-9]+)\n"
                            "(No step was lost: each one built on the write before it\\.|"
                            "First lost step: T([1-4]) step [0-9]+ and T([1-4]) step [0-9]+ both read (-?[0-9]+); "
                            "T\\11 wrote (-?[0-9]+), T\\12 wrote (-?[0-9]+), "
                            "and every step that counts after it builds on T\\12's write)\n");
    const std::int64_t all = 4 * std::int64_t{RACECOUNT_STEPS};
    for (const bool serial : {true, false, false, false}) {
        const run_result r = run(program("racetrace"), {.env = shimmed({serial ? "SERIAL=1" : "SERIAL=0"})});
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.out, m, report)) << r.out;
        const auto number = [&m](int i) { return std::stoll(m[i].str()); };
        EXPECT_EQ(number(2), number(3) + number(4)) << r.out;
        EXPECT_EQ(number(5), RACECOUNT_START) << r.out;
        EXPECT_EQ(number(1), wrapped(number(5), number(3) - number(4))) << r.out;
        EXPECT_EQ(number(6) == number(1), !m[7].matched) << r.out;
        EXPECT_EQ(number(2) + number(8), all) << r.out;
        EXPECT_EQ(number(9), all) << r.out;
        EXPECT_EQ(number(8) == 0, !m[11].matched) << r.out;
        if (m[11].matched) {
            for (const int who : {11, 12}) {
                const long step = number(who) % 2 == 0 ? 1 : -1;   // T2 and T4 step up
                EXPECT_EQ(number(who == 11 ? 14 : 15), wrapped(number(13), step)) << r.out;
            }
        }
        if (serial) {
            EXPECT_EQ(number(8), 0) << r.out;
        }
        EXPECT_EQ(r.status, 0);
    }
}

struct failure {
    const char* program;
    run_options options;
    const char* message;
    bool threads = true;   // whether the program starts threads on a single CPU
};

TEST(SharedCounterPrograms, ReportAFailureAndPrintNoCount)
{
    const failure cases[] = {
        {"turnlock", {.env = failing("pthread_create", 1)}, "turnlock: pthread_create: Resource temporarily unavailable\n"},
        // The first worker is running by then, and must still be joined.
        {"turnlock", {.env = failing("pthread_create", 2)}, "turnlock: pthread_create: Resource temporarily unavailable\n"},
        {"racecount", {.env = failing("pthread_create", 1)}, "racecount: pthread_create: Resource temporarily unavailable\n"},
        {"racecount", {.env = failing("pthread_create", 4)}, "racecount: pthread_create: Resource temporarily unavailable\n"},
        // The first thread is running by then, waiting for its partner.
        {"weaklock", {.env = failing("pthread_create", 2)}, "weaklock: pthread_create: Resource temporarily unavailable\n", two_cpus()},
        {"racetrace", {.env = failing("pthread_create", 1)}, "racetrace: pthread_create: Resource temporarily unavailable\n"},
        {"racetrace", {.env = failing("pthread_create", 3)}, "racetrace: pthread_create: Resource temporarily unavailable\n"},
        {"racetrace", {.env = shimmed({"FAIL_OVER=1000"})}, "racetrace: malloc: Cannot allocate memory\n"},
        {"racetrace", {.out_file = "/dev/full"}, "racetrace: write: No space left on device\n"},
        {"turnlock", {.out_file = "/dev/full"}, "turnlock: write: No space left on device\n"},
        {"racecount", {.out_file = "/dev/full"}, "racecount: write: No space left on device\n"},
        {"weaklock", {.out_file = "/dev/full"}, "weaklock: write: No space left on device\n"},
    };
    for (const auto& c : cases) {
        if (!c.threads)
            continue;
        const run_result r = run(program(c.program), c.options);
        EXPECT_EQ(r.err, c.message) << c.program;
        EXPECT_EQ(r.out, "") << c.program;
        EXPECT_EQ(r.status, 1) << c.program;
    }
}

} // namespace
