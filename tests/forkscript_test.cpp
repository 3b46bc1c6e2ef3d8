// forkscript: its rules on scripts written by hand, the scripts it must
// refuse, and the kernel's account of seeded scripts run for real under
// proctrace against the rules'.
#include <gtest/gtest.h>

#include <string>
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
    const run_result r = run(program("proctrace"), {.args = {program("forkscript"), written(s)}});
    std::string out = r.status == 0 ? "" : "status " + std::to_string(r.status) + ": " + r.err;
    for (const std::string& d : differences(s, outcome_of(s), seen_in(outcome_of(s), r.err)))
        out += d + "\n";
    return out;
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
        const char* script;
        const char* message;
    } rows[] = {
        {"a forks b; c exits", "line 1: no process is called c yet"},
        {"a forks b; a forks b", "line 1: the name b is taken"},
        {"a forks b; b exits; b prints x", "line 1: b has exited"},
        {"a forks b; b execs true; b exits", "line 1: b has become true"},
        {"a forks b; a waits; a exits", "line 1: a is inside a wait"},
        {"a forks b\n\n# b has no child\nb waits", "line 4: b has no child that could end"},
        {"a forks b; b forks c; a waits for c", "line 1: c is not a child of a"},
        {"a forks b; b exits; a waits; a waits for b", "line 1: b has been reaped"},
        {"a exits 256", "line 1: 256 is not an exit status from 0 to 255"},
        {"a forks forkscript", "line 1: \"forkscript\" is forkscript's own name"},
        {"a forks b; b execs sh -c \"exit 1\"", "line 1: quotes are not understood: a program's arguments are the words between spaces"},
        {"a jumps", "line 1: cannot read \"a jumps\": an action is NAME forks NAME, NAME exits [STATUS], NAME waits [for NAME], "
                    "NAME prints TEXT or NAME execs PROGRAM [ARG...]"},
    };
    for (const auto& row : rows) {
        // Its first line comes before its first fork: none at all, nothing forked.
        const run_result r = run(program("forkscript"), {.args = {row.script}});
        EXPECT_EQ(r.status, 2) << row.script;
        EXPECT_EQ(r.out, "") << row.script;
        EXPECT_EQ(r.err, "forkscript: " + std::string(row.message) + "\n") << row.script;
    }
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
