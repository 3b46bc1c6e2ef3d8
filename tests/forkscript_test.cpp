// forkscript: its rules on scripts written by hand, the scripts it must
// refuse, and the kernel's account of seeded scripts run for real under
// proctrace against the rules'.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "process.h"
#include "script.h"

namespace {

#ifdef SANITIZED
constexpr std::uint64_t seeds = 25;
#else
constexpr std::uint64_t seeds = 200;
#endif

outcome outcome_of(const script& s)
{
    const auto o = play(s);
    return std::holds_alternative<outcome>(o) ? std::get<outcome>(o) : outcome{};
}

script script_of(const std::string& text)
{
    const auto s = read_script(text);
    return std::holds_alternative<script>(s) ? std::get<script>(s) : script{};
}

// The rules' facts, a step at a time, counting from 1: "2 b exits with status 3".
std::string story(const script& s)
{
    std::string out;
    for (const fact& f : outcome_of(s).facts)
        out += (out.empty() ? "" : "; ") + std::to_string(f.step + 1) + " " + told(s, f);
    return out;
}

// Where the kernel parted from the rules in a run of S under proctrace.
std::string kernel_against_rules(const script& s)
{
    const run_result r = run(program("proctrace"), {.args = {program("forkscript"), written(s)}, .env = {asan_options("detect_leaks=0")}});
    std::string out = r.status == 0 ? "" : "status " + std::to_string(r.status) + ": " + r.err;
    for (const std::string& d : differences(s, outcome_of(s), seen_in(outcome_of(s), r.err)))
        out += d + "\n";
    return out;
}


// The first child of PID, or 0 when it has none yet.
pid_t first_child(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = 0;
    in >> child;
    return pid == 0 ? 0 : child;
}

TEST(ForkscriptRules, FollowEachRule)
{
    const struct {
        const char* rule;
        const char* script;
        std::string facts;
    } rows[] = {
        {"a fork, then the close, which orphans b", "a forks b",
         "1 a forks b; 2 a exits with status 0; 2 b is orphaned and adopted by forkscript; 2 a is reaped by forkscript; "
         "3 b exits with status 0; 3 b is reaped by forkscript"},
        {"an exit with a living parent leaves a zombie until the parent goes", "a forks b; b exits 3",
         "1 a forks b; 2 b exits with status 3; 3 a exits with status 0; 3 b is orphaned and adopted by forkscript; "
         "3 b is reaped by forkscript; 3 a is reaped by forkscript"},
        {"a parent's exit orphans its living children, to forkscript, not to a", "a forks b; b forks c; b forks d; b exits",
         "1 a forks b; 2 b forks c; 3 b forks d; 4 b exits with status 0; 4 c is orphaned and adopted by forkscript; "
         "4 d is orphaned and adopted by forkscript; 5 a exits with status 0; 5 b is orphaned and adopted by forkscript; "
         "5 b is reaped by forkscript; 5 a is reaped by forkscript; 6 c exits with status 0; 6 c is reaped by forkscript; "
         "7 d exits with status 0; 7 d is reaped by forkscript"},
        {"an adopted zombie is reaped at once", "a forks b; b forks c; c exits 2; b exits 1",
         "1 a forks b; 2 b forks c; 3 c exits with status 2; 4 b exits with status 1; 4 c is orphaned and adopted by forkscript; "
         "4 c is reaped by forkscript; 5 a exits with status 0; 5 b is orphaned and adopted by forkscript; 5 b is reaped by forkscript; "
         "5 a is reaped by forkscript"},
        {"a wait blocks until a later exit ends it", "a forks b; a waits; b prints hi; b exits 1",
         "1 a forks b; 2 a waits; 3 b prints; 4 b exits with status 1; 4 b is reaped by a; 5 a exits with status 0; "
         "5 a is reaped by forkscript"},
        {"a wait for a zombie returns at once", "a forks b; b exits 4; a waits for b",
         "1 a forks b; 2 b exits with status 4; 3 b is reaped by a; 4 a exits with status 0; 4 a is reaped by forkscript"},
        {"a wait for any child reaps the first-made zombie", "a forks b; a forks c; c exits; b exits; a waits",
         "1 a forks b; 2 a forks c; 3 c exits with status 0; 4 b exits with status 0; 5 b is reaped by a; 6 a exits with status 0; "
         "6 c is orphaned and adopted by forkscript; 6 c is reaped by forkscript; 6 a is reaped by forkscript"},
        {"a wait for any child is ended by whichever exits first", "a forks b; a forks c; a waits; c exits",
         "1 a forks b; 2 a forks c; 3 a waits; 4 c exits with status 0; 4 c is reaped by a; 5 a exits with status 0; "
         "5 b is orphaned and adopted by forkscript; 5 a is reaped by forkscript; 6 b exits with status 0; 6 b is reaped by forkscript"},
        {"a wait for one child is not ended by another", "a forks b; a forks c; a waits for b; c exits; b exits",
         "1 a forks b; 2 a forks c; 3 a waits; 4 c exits with status 0; 5 b exits with status 0; 5 b is reaped by a; "
         "6 a exits with status 0; 6 c is orphaned and adopted by forkscript; 6 c is reaped by forkscript; 6 a is reaped by forkscript"},
        {"an exec runs the program to its end", "a forks b; b execs true; a waits",
         "1 a forks b; 2 b execs true; 2 b exits; 3 b is reaped by a; 4 a exits with status 0; 4 a is reaped by forkscript"},
    };
    for (const auto& row : rows) {
        const script s = script_of(row.script);
        EXPECT_EQ(story(s), row.facts) << row.rule;
        if (!emulated()) {
            EXPECT_EQ(kernel_against_rules(s), "") << row.rule << ": " << row.script;
        }
    }
}

TEST(Forkscript, RefusesWhatCannotRunBeforeForkingAnything)
{
    const struct {
        std::vector<std::string> args;
        const char* message;
    } rows[] = {
        {{"a forks b; c exits"}, "forkscript: line 1: no process is called c yet"},
        {{"a forks b; a forks b"}, "forkscript: line 1: the name b is taken"},
        {{"a forks b; b exits; b prints x"}, "forkscript: line 1: b has exited"},
        {{"a forks b; b execs true; b exits"}, "forkscript: line 1: b has become true"},
        {{"a forks b; b forks c; c exits; b execs true"}, "forkscript: line 1: b still has a child, c, that a program could wait for out of the script's sight"},
        {{"a forks b; a waits for none"}, "forkscript: line 1: \"none\" stands for no process"},
        {{"a forks b; a waits; a exits"}, "forkscript: line 1: a is inside a wait"},
        {{"a forks b\n\n# b has no child\nb waits"}, "forkscript: line 4: b has no child that could end"},
        {{"a forks b; b forks c; a waits for c"}, "forkscript: line 1: c is not a child of a"},
        {{"a forks b; b exits; a waits; a waits for b"}, "forkscript: line 1: b has been reaped"},
        {{"a exits 256"}, "forkscript: line 1: 256 is not an exit status from 0 to 255"},
        {{"a forks forkscript"}, "forkscript: line 1: \"forkscript\" is forkscript's own name"},
        {{"a forks b; b execs sh -c \"exit 1\""}, "forkscript: line 1: quotes are not understood: a program's arguments are the words between spaces"},
        {{"a jumps"}, "forkscript: line 1: cannot read \"a jumps\": an action is NAME forks NAME, NAME exits [STATUS], NAME waits [for NAME], "
                      "NAME prints TEXT or NAME execs PROGRAM [ARG...]"},
        {{}, "usage: forkscript SCRIPT | forkscript -f FILE"},
        {{"-f", "/nonexistent/script"}, "forkscript: cannot read /nonexistent/script: No such file or directory"},
        {{"-f", "/"}, "forkscript: cannot read /: Is a directory"},
    };
    for (const auto& row : rows) {
        // Its first line comes before its first fork: none at all, nothing forked.
        const run_result r = run(program("forkscript"), {.args = row.args});
        EXPECT_EQ(r.status, 2) << row.message;
        EXPECT_EQ(r.out, "") << row.message;
        EXPECT_EQ(r.err, std::string(row.message) + "\n");
    }
}

// Runs that go as written, and runs that cannot: each with its status and
// the start of what it says on standard error.
TEST(Forkscript, SaysWhatWentWrongInARun)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and the programs a run starts are not emulated";
    const std::string script = "a forks b; b exits 3; a waits";
    const struct {
        std::string path;
        std::vector<std::string> args;
        int status;
        const char* err;
    } rows[] = {
        {program("forkscript"), {"a forks b; b execs no-such-program; a waits"}, 0,
         "forkscript: b: cannot run no-such-program: No such file or directory\n"},
        // Started by a parent that ignores SIGCHLD, it still makes zombies and reaps them,
        // and predict's reveal still waits for what it runs.
        {program("fixture/traced"), {"ignoring-sigchld", program("forkscript"), script}, 0, ""},
        {program("fixture/traced"), {"ignoring-sigchld", program("predict"), "reveal", "launcher-lines", "--seed", "1"}, 0, ""},
        // Rules that give every exit one more than the script says: the kernel must disagree.
        {program("broken/forkscript"), {script}, 1,
         "forkscript: THE KERNEL DISAGREES WITH THE RULES at line 1 (a waits): the rules say a reaps b, but its wait returned pid "},
    };
    for (const auto& row : rows) {
        // LeakSanitizer cannot work in what predict's reveal runs under proctrace.
        const bool traces = std::find(row.args.begin(), row.args.end(), program("predict")) != row.args.end();
        const run_result r = run(row.path, {.args = row.args, .env = traces ? std::vector{asan_options("detect_leaks=0")} : std::vector<std::string>{}});
        EXPECT_EQ(r.status, row.status) << row.args.back() << ": " << r.err;
        EXPECT_EQ(r.err.substr(0, std::string(row.err).size()), row.err) << row.args.back();
        EXPECT_EQ(r.err.empty(), std::string(row.err).empty()) << r.err;
    }
    // b killed from outside while c's cat waits for input: a signal ends
    // no process of a script but a program it ran.
    child c = start(program("forkscript"), {.args = {"a forks b; b forks c; c execs cat"}});
    pid_t b = 0;
    for (int tries = 0; b == 0 && tries < 1000; tries++) {
        b = first_child(first_child(c.pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(b, 0) << "no b to kill";
    ASSERT_EQ(kill(b, SIGKILL), 0);
    const run_result killed = finish(c, "");
    EXPECT_EQ(killed.status, 1) << killed.err;
    EXPECT_NE(killed.err.find("] was killed by signal 9, which no action of the script sends\n"), std::string::npos) << killed.err;
    // Ended by SIGTERM, forkscript ends its run too: no program it ran goes on.
    child ended = start(program("forkscript"), {.args = {"a forks b; b execs sleep 30"}});
    pid_t sleeper = 0;
    for (int tries = 0; sleeper == 0 && tries < 1000; tries++) {
        sleeper = first_child(first_child(ended.pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(kill(ended.pid, SIGTERM), 0);
    EXPECT_EQ(finish(ended, "").status, 128 + SIGTERM);
    EXPECT_NE(kill(sleeper, 0), 0) << "sleep " << sleeper << " goes on";
    // predict's reveal, given a trace in which forkscript adopts none of
    // the orphans, says so loudly. Its programs are where predict is.
    const scratch dir;
    std::filesystem::copy_file(program("predict"), dir.path / "predict");
    dir.write("proctrace", "#!/bin/sh\nprintf '%s\\n' Timeline '     0.000 ms  forkscript[10]  starts forkscript' "
                           "'     0.100 ms  forkscript[10]  forks forkscript[11]' '     0.200 ms  forkscript[11]  forks forkscript[12]' "
                           "'     0.300 ms  forkscript[11]  exits with status 0' "
                           "'     0.300 ms  forkscript[12]  is orphaned: its parent forkscript[11] has exited; adopted by proctrace[9]' > \"$2\"\n",
              true);
    const run_result r = run((dir.path / "predict").string(), {.args = {"reveal", "fork-orphans", "--seed", "3"}});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("\n!! THE KERNEL DID NOT DO WHAT THE RULES SAY:\n!!   the kernel: b is orphaned and adopted by a process outside the run;"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.err, "predict: the kernel did not do what the key says\n");
}

TEST(Forkscript, KernelAgreesWithTheRulesOnSeededScripts)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    for (std::uint64_t seed = 1; seed <= seeds; seed++) {
        const script s = random_script(seed, 4, 12);
        ASSERT_EQ(kernel_against_rules(s), "") << "seed " << seed << ":\n" << written(s);
    }
}

} // namespace
