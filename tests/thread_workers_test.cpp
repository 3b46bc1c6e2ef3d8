// factworker and powerworker, run as programs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "process.h"

namespace {

struct factorial_case {
    const char* input;
    const char* n;
    const char* value;
};

TEST(Factworker, PrintsTheFactorialModulo2To64)
{
    const factorial_case cases[] = {
        {"5\n", "5", "120"},
        {"0\n", "0", "1"},
        {"-3\n", "-3", "1"},
        {"20\n", "20", "2432902008176640000"},
        {"21\n", "21", "-4249290049419214848"},
        {"65\n", "65", "-9223372036854775808"},
        {"66\n", "66", "0"},
        {"2147483647\n", "2147483647", "0"},
        {"  7abc\n", "7", "5040"},
        {"\t\n +4", "4", "24"},
        // No integer at all: n is 0.
        {"", "0", "1"},
        {"abc\n", "0", "1"},
        {"-x\n", "0", "1"},
        // Outside the 32-bit range: the nearest limit.
        {"2147483648\n", "2147483647", "0"},
        {"99999999999999999999999\n", "2147483647", "0"},
        {"-2147483649\n", "-2147483648", "1"},
    };
    for (const auto& c : cases) {
        const run_result r = run(program("factworker"), {.input = c.input});
        EXPECT_EQ(r.out, std::string("Enter a number: Factorial of ") + c.n + " is: " + c.value +
                             "\nMain thread: Work completed.\n")
            << "input \"" << c.input << "\"";
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

// From 66 on the product is 0 for good; the worker must not go on
// multiplying, two billion times, to print the same 0.
TEST(Factworker, AnswersTheLargestInputAtOnce)
{
    const auto began = std::chrono::steady_clock::now();
    const run_result r = run(program("factworker"), {.input = "2147483647\n"});
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(r.out, "Enter a number: Factorial of 2147483647 is: 0\nMain thread: Work completed.\n");
    EXPECT_LT(took, std::chrono::milliseconds(500));
}

TEST(ThreadWorkers, LeakNothingAndReadNothingUninitialised)
{
    for (const char* name : {"factworker", "powerworker"}) {
        for (const char* input : {"5\n", "", "abc", "2147483647\n"}) {
            run_result r;
            if (!memcheck(program(name), {.input = input}, r))
                GTEST_SKIP() << "memcheck is not used in this build: its sanitizers check memory";
            EXPECT_EQ(r.status, 0) << name << ", input \"" << input << "\"";
            EXPECT_EQ(r.err, "") << name << ", input \"" << input << "\"";
        }
    }
}

struct powers_case {
    const char* input;
    const char* number;
    const char* square;
    const char* cube;
};

// The worker's lines in order, with main's waiting line taken out wherever it
// fell; fails the test unless that line appears exactly once, and main's last
// line comes last.
std::string worker_lines(const std::string& out)
{
    const std::string prompt = "Enter an integer: ";
    const std::string waiting = "Main thread: Waiting for the thread to finish...\n";
    const std::string done = "Main thread: Work completed.\n";
    EXPECT_EQ(out.compare(0, prompt.size(), prompt), 0) << out;
    std::string rest = out.substr(std::min(prompt.size(), out.size()));
    const auto at = rest.find(waiting);
    EXPECT_NE(at, std::string::npos) << out;
    if (at != std::string::npos)
        rest.erase(at, waiting.size());
    EXPECT_EQ(rest.find(waiting), std::string::npos) << out;
    EXPECT_TRUE(rest.size() >= done.size() && rest.compare(rest.size() - done.size(), done.size(), done) == 0) << out;
    return rest.substr(0, rest.size() - std::min(done.size(), rest.size()));
}

TEST(Powerworker, PrintsTheNumberItsSquareAndItsCubeModulo2To32)
{
    const powers_case cases[] = {
        {"3\n", "3", "9", "27"},
        {"-2\n", "-2", "4", "-8"},
        {"46341\n", "46341", "-2147479015", "-1932785795"},
        {"1291\n", "1291", "1666681", "-2143282125"},
        {"-2147483648\n", "-2147483648", "0", "0"},
        {"  7xyz\n", "7", "49", "343"},
        {"", "0", "0", "0"},
        {"abc\n", "0", "0", "0"},
        {"3000000000\n", "2147483647", "1", "2147483647"},
        {"-3000000000\n", "-2147483648", "0", "0"},
    };
    for (const auto& c : cases) {
        const run_result r = run(program("powerworker"), {.input = c.input});
        EXPECT_EQ(worker_lines(r.out), std::string("Thread: Number = ") + c.number + "\nThread: Square = " + c.square +
                                           "\nThread: Cube = " + c.cube + "\n")
            << "input \"" << c.input << "\"";
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

// main announces that it waits as soon as the worker exists, not after the
// join: with the worker held back at its start, the waiting line comes first.
TEST(Powerworker, SaysItWaitsBeforeItJoins)
{
    const run_result r = run(program("powerworker"), {.input = "12\n", .env = shimmed({"SLOW_START_MS=300"})});
    EXPECT_EQ(r.out, "Enter an integer: Main thread: Waiting for the thread to finish...\n"
                     "Thread: Number = 12\nThread: Square = 144\nThread: Cube = 1728\n"
                     "Main thread: Work completed.\n");
    EXPECT_EQ(r.status, 0);
}

struct prompted {
    const char* program;
    const char* prompt;
};

const prompted programs[] = {{"factworker", "Enter a number: "}, {"powerworker", "Enter an integer: "}};

TEST(ThreadWorkers, ShowThePromptBeforeAnyInputArrives)
{
    for (const auto& p : programs) {
        child c = start(program(p.program));
        read_until(c.out, c.out_so_far, p.prompt, std::chrono::seconds(10));
        EXPECT_EQ(c.out_so_far, p.prompt) << p.program;
        const run_result r = finish(c, "3\n");
        EXPECT_EQ(r.status, 0) << p.program;
    }
}

struct failure {
    const char* program;
    run_options options;
    const char* message;
    const char* out;
};

TEST(ThreadWorkers, ReportAFailureAndPrintNoResult)
{
    const failure cases[] = {
        {"factworker", {.input = "5\n", .env = failing("pthread_create")},
         "factworker: pthread_create: Resource temporarily unavailable\n", "Enter a number: "},
        {"factworker", {.input = "5\n", .env = failing("malloc")}, "factworker: malloc: Cannot allocate memory\n",
         "Enter a number: "},
        {"powerworker", {.input = "5\n", .env = failing("pthread_create")},
         "powerworker: pthread_create: Resource temporarily unavailable\n", "Enter an integer: "},
        {"factworker", {.in_file = "/"}, "factworker: read: Is a directory\n", "Enter a number: "},
        {"powerworker", {.in_file = "/"}, "powerworker: read: Is a directory\n", "Enter an integer: "},
        {"factworker", {.input = "5\n", .out_file = "/dev/full"}, "factworker: write: No space left on device\n", ""},
        {"powerworker", {.input = "5\n", .out_file = "/dev/full"}, "powerworker: write: No space left on device\n", ""},
    };
    for (const auto& c : cases) {
        const run_result r = run(program(c.program), c.options);
        EXPECT_EQ(r.err, c.message) << c.program;
        EXPECT_EQ(r.out, c.out) << c.program;
        EXPECT_EQ(r.status, 1) << c.program;
    }
}

} // namespace
