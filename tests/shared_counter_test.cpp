// turnlock, weaklock, lockmodel, racecount and racetrace, run as programs. Their
// numbers follow the build settings, passed in as RACECOUNT_START,
// RACECOUNT_STEPS and WEAKLOCK_ROUNDS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    if (emulated())
        GTEST_SKIP() << under_emulation;
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
    if (emulated())
        GTEST_SKIP() << under_emulation;
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

// FORMAT filled in with ARGS, as printf would print it.
template <typename... Args>
std::string printed(const char* format, Args... args)
{
    char text[1024];
    static_cast<void>(std::snprintf(text, sizeof text, format, args...));
    return text;
}

// The number that follows LABEL in TEXT, or -1 when LABEL is not there.
long long after(const std::string& text, const std::string& label)
{
    const auto at = text.find(label);
    return at == std::string::npos ? -1 : std::strtoll(text.c_str() + at + label.size(), nullptr, 10);
}

TEST(Weaklock, ShowsOnlyTheWeakerOrdersLettingBothThreadsIn)
{
    if (emulated())
        GTEST_SKIP() << under_emulation;
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
    // Only on x86-64 has the kit been seen to let the weaker orders in. On
    // arm64 a release store and an acquire load are the very instructions
    // of seq_cst, and what relaxed does there is for the hardware to say.
#if !defined(__x86_64__)
    bool shown[2] = {true, true};
#elif defined(THREAD_SANITIZER)
    bool shown[2] = {true, false};
#else
    bool shown[2] = {false, false};
#endif
    std::string last;
    const bool both = within(20s, [&] {
        const run_result r = run(program("weaklock"));
        const long long counts[2] = {after(r.out, "release/acquire: "), after(r.out, "relaxed: ")};
        EXPECT_EQ(r.out, printed("Peterson's lock, 2 threads, %d rounds for each memory order\n"
                                 "seq_cst: 0 of %d rounds let both threads in\n"
                                 "release/acquire: %lld of %d rounds let both threads in\n"
                                 "relaxed: %lld of %d rounds let both threads in\n",
                                 WEAKLOCK_ROUNDS, WEAKLOCK_ROUNDS, counts[0], WEAKLOCK_ROUNDS, counts[1], WEAKLOCK_ROUNDS));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        last = r.out;
        for (int i = 0; i < 2; i++)
            shown[i] = shown[i] || counts[i] > 0;
        return shown[0] && shown[1];
    });
    EXPECT_TRUE(both) << "20 s of runs, and a weaker order never let both threads in; the last run printed\n" << last;
}

// Every execution of the lock under each model, counted the same in every
// build; each shortest run into both threads inside ends with them there.
TEST(Lockmodel, CountsEveryExecutionAndShowsHowBothThreadsGetIn)
{
    const run_result r = run(program("lockmodel"));
    const std::string table = "Peterson's lock, 2 threads, 1 round each: every execution, by memory model and order\n"
                              "interleaving, seq_cst: 12 executions, 0 let both threads in\n"
                              "interleaving, release/acquire: 12 executions, 0 let both threads in\n"
                              "interleaving, relaxed: 12 executions, 0 let both threads in\n"
                              "x86-TSO, seq_cst: 12 executions, 0 let both threads in\n"
                              "x86-TSO, release/acquire: 22 executions, 6 let both threads in\n"
                              "x86-TSO, relaxed: 22 executions, 6 let both threads in\n"
                              "C++, seq_cst: 12 executions, 0 let both threads in\n"
                              "C++, release/acquire: 22 executions, 6 let both threads in\n"
                              "C++, relaxed: 22 executions, 6 let both threads in\n"
                              "\n"
                              "Repairs of the release/acquire lock: every execution, by memory model\n"
                              "seq_cst fence after the stores, x86-TSO: 12 executions, 0 let both threads in\n"
                              "seq_cst fence after the stores, C++: 16 executions, 2 let both threads in\n"
                              "turn given away by exchange, x86-TSO: 12 executions, 0 let both threads in\n"
                              "turn given away by exchange, C++: 12 executions, 0 let both threads in\n"
                              "seq_cst fences between the stores and after them, x86-TSO: 12 executions, 0 let both threads in\n"
                              "seq_cst fences between the stores and after them, C++: 12 executions, 0 let both threads in\n";
    EXPECT_EQ(r.out.substr(0, table.size()), table);
    for (const char* variant : {"x86-TSO, release/acquire", "C++, release/acquire", "C++, seq_cst fence after the stores"}) {
        const std::string heading = printed("\n%s: the shortest execution that lets both threads in\n", variant);
        const std::string witness = r.out.substr(std::min(r.out.find(heading), r.out.size()));
        const std::string last = witness.substr(0, std::min(witness.find("\n\n", 1), witness.size() - 1) + 1);
        EXPECT_TRUE(last.ends_with(" is inside, and so both threads are\n")) << variant << ":\n" << r.out;
    }
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    // Built with a fence that does nothing, the repair that x86 must hold
    // fails; built with the seq_cst lock explored as release/acquire, the lock.
    const struct {
        const char* build;
        const char* err;
    } broken[] = {
        {"broken/lockmodel", "lockmodel: under x86-TSO with the seq_cst fence after the stores, the lock let both threads in: it is broken\n"},
        {"weakened/lockmodel", "lockmodel: under x86-TSO with seq_cst, the lock let both threads in: it is broken\n"},
    };
    for (const auto& b : broken) {
        const run_result failed = run(program(b.build));
        EXPECT_EQ(failed.err, b.err);
        EXPECT_EQ(failed.status, 1) << b.build;
    }
}

// racetrace's report, checked against itself: the steps that count, less
// those lost, are all the steps; the identity holds; the first lost step
// and the step that counts after it read one value and each wrote that
// value moved its own way. With the batches one after another, nothing is lost.
TEST(Racetrace, AccountsForEveryStep)
{
    const long long all = 4LL * RACECOUNT_STEPS;
    for (const bool serial : {true, false, false, false}) {
        const run_result r = run(program("racetrace"), {.env = shimmed({serial ? "SERIAL=1" : "SERIAL=0"})});
        const long long count = after(r.out, "Final count: ");
        const long long up = after(r.out, " (");
        const long long down = after(r.out, " up, ");
        const long long sum = after(r.out, " = ");
        const long long lost = after(r.out, "Steps lost: ");
        // Who read what on the last line: the lost step, then the one that counts.
        const std::string first = r.out.substr(std::min(r.out.find("First lost step: "), r.out.size()));
        const std::string then = first.substr(std::min(first.find(" and T"), first.size()));
        const int who[2] = {static_cast<int>(after(first, "First lost step: T")), static_cast<int>(after(then, " and T"))};
        const long long step[2] = {after(first, " step "), after(then, " step ")};
        const long long read = after(first, " both read ");
        const auto wrote = [read](int t) { return wrapped(read, t % 2 == 0 ? 1 : -1); };   // T2 and T4 step up
        EXPECT_EQ(r.out,
                  printed("Final count: %lld\nSteps that count: %lld (%lld up, %lld down), and %d + %lld - %lld = %lld%s\n"
                          "Steps lost: %lld of %lld\n",
                          count, up + down, up, down, RACECOUNT_START, up, down, RACECOUNT_START + up - down,
                          sum == count ? "" : ", which wraps round to the count", all - up - down, all) +
                      (lost == 0 ? "No step was lost: each one built on the write before it.\n"
                                 : printed("First lost step: T%d step %lld and T%d step %lld both read %lld; T%d wrote %ld, "
                                           "T%d wrote %ld, and every step that counts after it builds on T%d's write\n",
                                           who[0], step[0], who[1], step[1], read, who[0], wrote(who[0]), who[1],
                                           wrote(who[1]), who[1])));
        EXPECT_EQ(count, wrapped(RACECOUNT_START, up - down)) << r.out;
        EXPECT_EQ(lost, all - up - down) << r.out;
        if (serial) {
            EXPECT_EQ(lost, 0) << r.out;
        }
        EXPECT_EQ(r.status, 0);
    }
}

struct failure {
    const char* program;
    run_options options;
    const char* message;
    bool shown = true;     // whether this build and this machine can show it
};

// A sanitizer build's operator new is the sanitizer's own, which the shim cannot make fail.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

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
        {"lockmodel", {.env = shimmed({"FAIL_OVER=1000"})}, "lockmodel: malloc: Cannot allocate memory\n", !sanitized},
        {"lockmodel", {.out_file = "/dev/full"}, "lockmodel: write: No space left on device\n"},
    };
    for (const auto& c : cases) {
        if (!c.shown)
            continue;
        const run_result r = run(program(c.program), c.options);
        EXPECT_EQ(r.err, c.message) << c.program;
        EXPECT_EQ(r.out, "") << c.program;
        EXPECT_EQ(r.status, 1) << c.program;
    }
}

} // namespace
