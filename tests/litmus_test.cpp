// litmus, run as a program on the kit's own litmus tests, whose verdicts the
// literature publishes, and on tests it must refuse; the reader driven
// directly for what each construct means.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "litmus_reader.h"
#include "process.h"

namespace {

const char* const kit = LITMUS_DIR;

#ifdef SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

struct verdict {
    bool allowed;   // whether the condition's outcome can happen
    long long executions;
};

// The kit's tests, and the published verdicts of each under interleaving,
// x86-TSO and the language's rules. x86 runs a relaxed access as the
// release or acquire one; the explorer's model of the language leaves out
// load buffering, which the language allows.
struct published {
    const char* test;
    verdict under[3];
};

const published kit_tests[] = {
    {"SB", {{false, 3}, {true, 4}, {true, 4}}},
    {"SB+rel+acq", {{false, 3}, {true, 4}, {true, 4}}},
    {"SB+rfi-pos", {{false, 3}, {true, 4}, {true, 4}}},
    {"SB+rfi-pos+rel+acq", {{false, 3}, {true, 4}, {true, 4}}},
    {"MP", {{false, 3}, {false, 3}, {true, 4}}},
    {"MP+rel+acq", {{false, 3}, {false, 3}, {false, 3}}},
    {"LB", {{false, 3}, {false, 3}, {false, 3}}},
    {"LB+rel+acq", {{false, 3}, {false, 3}, {false, 3}}},
    {"CoRR", {{false, 3}, {false, 3}, {false, 3}}},
    {"CoRR+rel+acq", {{false, 3}, {false, 3}, {false, 3}}},
    {"2+2W", {{false, 3}, {false, 3}, {true, 4}}},
    {"2+2W+rel", {{false, 3}, {false, 3}, {true, 4}}},
    {"SB+fences", {{false, 3}, {false, 3}, {false, 3}}},
    {"SB+fences+rel+acq", {{false, 3}, {false, 3}, {false, 3}}},
    {"SB+fetch_adds", {{false, 3}, {false, 3}, {true, 4}}},
    {"SB+fetch_adds+rel+acq", {{false, 3}, {false, 3}, {true, 4}}},
    {"MP+fences", {{false, 3}, {false, 3}, {false, 3}}},
    {"MP+rel+fetch_add+acq", {{false, 9}, {false, 9}, {false, 9}}},
    {"lost-update+fetch_adds", {{false, 2}, {false, 2}, {false, 2}}},
    {"lost-update+fetch_adds+acq_rel", {{false, 2}, {false, 2}, {false, 2}}},
    {"lost-update+loads-stores", {{true, 4}, {true, 4}, {true, 4}}},
    {"lost-update+loads-stores+rel+acq", {{true, 4}, {true, 4}, {true, 4}}},
    {"CAS-race", {{false, 2}, {false, 2}, {false, 2}}},
    {"CAS-race+acq_rel", {{false, 2}, {false, 2}, {false, 2}}},
    {"IRIW", {{false, 15}, {false, 15}, {true, 16}}},
    {"IRIW+rel+acq", {{false, 15}, {false, 15}, {true, 16}}},
    {"IRIW+fences", {{false, 15}, {false, 15}, {false, 15}}},
    {"IRIW+fences+rel+acq", {{false, 15}, {false, 15}, {false, 15}}},
    {"SB+seq_cst", {{false, 3}, {false, 3}, {false, 3}}},
    {"SB+seq_cst-stores", {{false, 3}, {false, 3}, {true, 4}}},
    {"SB+acq_rel-fences", {{false, 3}, {true, 4}, {true, 4}}},
    {"CoWW", {{false, 1}, {false, 1}, {false, 1}}},
};

std::string path_of(const std::string& test)
{
    return std::string(kit) + "/" + test + ".litmus";
}

std::string text_of(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Litmus, GivesThePublishedVerdictsOfTheKitsTests)
{
    std::set<std::string> files;
    std::set<std::string> rows;
    for (const auto& entry : std::filesystem::directory_iterator(kit))
        files.insert(entry.path().stem());
    for (const published& p : kit_tests)
        rows.insert(p.test);
    EXPECT_EQ(files, rows) << "every test the kit ships has its published verdicts here";
    for (const published& p : kit_tests) {
        const run_result r = run(program("litmus"), {.args = {path_of(p.test)}});
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 4U) << p.test << ":\n" << r.out << r.err;
        for (int m = 0; m < 3; m++) {
            const std::string& line = lines[static_cast<std::size_t>(m) + 1];
            const long long n = p.under[m].executions;
            const std::string head = litmus_models[m].name + (": " + std::to_string(n) + (n == 1 ? " execution, " : " executions, "));
            EXPECT_EQ(line.rfind(head, 0), 0U) << p.test << ": " << line;
            EXPECT_EQ(!line.ends_with(", never"), p.under[m].allowed) << p.test << ": " << line;
        }
        EXPECT_EQ(r.status, 0) << p.test;
    }
}

// A store of every access as seq_cst is an xchg, which empties the store
// buffer: x86 is then sequentially consistent.
TEST(Litmus, SeqCstEverywhereMakesX86TsoInterleaving)
{
    for (const published& p : kit_tests) {
        std::string text = text_of(path_of(p.test));
        const std::string order = "memory_order_";
        for (std::size_t at = text.find(order); at != std::string::npos; at = text.find(order, at + 1)) {
            const std::size_t end = text.find_first_of(",)", at);
            text.replace(at, end - at, "memory_order_seq_cst");
        }
        const auto got = read_test(text);
        ASSERT_TRUE(std::holds_alternative<litmus_test>(got)) << p.test << ": " << std::get<refusal>(got).what;
        const litmus_test& t = std::get<litmus_test>(got);
        EXPECT_EQ(explore_test(t, memory_model::x86_tso).outcomes, explore_test(t, memory_model::interleaving).outcomes) << p.test;
    }
}

// The explorer's search leaves out orders of steps that cannot matter and
// knows a state met twice: it must find exactly the executions and ends of
// the plainest search, which follows every path to its end. Over the kit's
// tests, and programs on which merging states too freely was once seen to
// lose executions.
TEST(Litmus, SearchFindsWhatFollowingEveryPathFinds)
{
    std::vector<std::string> paths(std::size(kit_tests));
    std::transform(std::begin(kit_tests), std::end(kit_tests), paths.begin(), [](const published& p) { return path_of(p.test); });
    const std::filesystem::directory_iterator found(AGREEMENT_DIR);
    std::transform(begin(found), end(found), std::back_inserter(paths), [](const auto& entry) { return entry.path().string(); });
    for (const std::string& path : paths) {
        const auto got = read_test(text_of(path));
        ASSERT_TRUE(std::holds_alternative<litmus_test>(got)) << path;
        // Every path of three or four threads costs seconds where each step
        // costs many times more; there the sanitizers' work is done by two.
        if ((sanitized || emulated()) && std::get<litmus_test>(got).threads.size() > 2)
            continue;
        for (const model_name& m : litmus_models) {
            const exploration fast = explore_test(std::get<litmus_test>(got), m.model);
            const exploration plain = explore_test(std::get<litmus_test>(got), m.model, true);
            EXPECT_EQ(fast.executions, plain.executions) << path << ", " << m.name;
            EXPECT_EQ(fast.wanted, plain.wanted) << path << ", " << m.name;
            EXPECT_EQ(fast.outcomes, plain.outcomes) << path << ", " << m.name;
        }
    }
}

// A test of one or two threads, each taking x and y, with BODY0 on line 4.
std::string test_of(const std::string& body0, const std::string& condition = "exists (x=1)", const std::string& init = "x=0;",
                    const std::string& body1 = "")
{
    const std::string head = "(atomic_int* x, atomic_int* y) {\n";
    return "C T\n{ " + init + " }\nP0" + head + body0 + "\n}\n" + (body1.empty() ? "" : "P1" + head + body1 + "\n}\n") + condition + "\n";
}

std::string threads(int n)
{
    std::string text = "C T\n{}\n";
    // Appended piece by piece: g++ 12 warns falsely of an overlap in "P" + std::to_string(i).
    for (int i = 0; i < n; i++)
        text.append("P").append(std::to_string(i)).append("(atomic_int* x) {}\n");
    return text + "exists (x=1)\n";
}

struct reading {
    std::string text;
    memory_model model;
    const char* verdict;   // of the condition's proposition
};

// What each construct means, seen in the verdict it leads to.
TEST(Litmus, ReadsEachConstructAsTheLanguageMeansIt)
{
    const std::string relaxed = "memory_order_relaxed";
    const reading readings[] = {
        // A name may be any one word, in UTF-8 too.
        {"C Ünïcödé\n{}\nP0(atomic_int* x) {\natomic_store(x, 1);\n}\nexists (x=1)\n", memory_model::interleaving, "always"},
        // A release sequence runs through read-modify-writes only, as in
        // C++20: not through a later relaxed store of the releasing thread.
        {test_of("atomic_store_explicit(x, 1, " + relaxed + ");\natomic_store_explicit(y, 1, memory_order_release);\n"
                 "atomic_store_explicit(y, 2, " + relaxed + ");",
                 "exists (1:r0=2 /\\ 1:r1=0)", "",
                 "int r0 = atomic_load_explicit(y, memory_order_acquire);\nint r1 = atomic_load_explicit(x, " + relaxed + ");"),
         memory_model::cpp, "sometimes"},
        // consume orders like acquire, as every compiler makes it.
        {test_of("atomic_store_explicit(x, 1, " + relaxed + ");\natomic_store_explicit(y, 1, memory_order_release);",
                 "exists (1:r0=1 /\\ 1:r1=0)", "",
                 "int r0 = atomic_load_explicit(y, memory_order_consume);\nint r1 = atomic_load_explicit(x, " + relaxed + ");"),
         memory_model::cpp, "never"},
        {test_of("int r0 = atomic_fetch_sub_explicit(x, 1, " + relaxed + ");", "forall (0:r0=-2147483648 /\\ x=2147483647)", "x=-2147483648;"),
         memory_model::interleaving, "always"},
        {test_of("int r0 = 5;\nint r1 = atomic_fetch_sub(x, r0);", "forall (0:r1=3 /\\ x=-2)", "x=3;"), memory_model::interleaving, "always"},
        {test_of("int r0 = atomic_fetch_add(x, 2);", "forall (0:r0=7 /\\ x=9)", "x=7;"), memory_model::interleaving, "always"},
        {test_of("int r0 = atomic_exchange_explicit(x, 2, " + relaxed + ");", "forall (0:r0=7 /\\ x=2)", "x=7;"), memory_model::cpp, "always"},
        // A compare-exchange that fails gives back what it found.
        {test_of("int r0 = 0;\nint r1 = atomic_compare_exchange_strong(x, &r0, 5);", "forall (0:r0=1 /\\ 0:r1=0 /\\ x=1)", "x=1;"),
         memory_model::interleaving, "always"},
        {test_of("int r0 = 1;\nint r1 = atomic_compare_exchange_strong_explicit(x, &r0, 5, " + relaxed + ", " + relaxed + ");",
                 "forall (0:r0=1 /\\ 0:r1=1 /\\ x=5)", "x=1;"),
         memory_model::x86_tso, "always"},
        // Registers in program order, copied, set again, and added to.
        {test_of("int r0 = atomic_load(x);\nint r1 = atomic_load(y);\nint r2 = r1 - r0;\nr0 = 9;", "forall (0:r0=9 /\\ 0:r1=2 /\\ 0:r2=1)",
                 "x=1; y=2;"),
         memory_model::interleaving, "always"},
        {test_of("int r0 = 2147483647 + 1;\natomic_store(y, r0);", "forall y=-2147483648"), memory_model::interleaving, "always"},
        {test_of("atomic_store(x, 1);", "exists ~(x=1)"), memory_model::interleaving, "never"},
        {test_of("atomic_store(x, 1);", "exists x=1 \\/ x=1 /\\ false"), memory_model::interleaving, "always"},
        {test_of("atomic_store(x, 1);", "exists ~x=2 /\\ x=2"), memory_model::interleaving, "never"},
        {test_of("(* a *) atomic_store(x, /* b */ 1); // c", "forall (x=1 /\\ z=5) (* d *)", "[x]=0; z=5;"), memory_model::interleaving, "always"},
        {test_of("int r0 = atomic_load(x);", "exists (0:r0=0)", "x=0;", "atomic_store(x, 1);"), memory_model::interleaving, "sometimes"},
    };
    for (const reading& c : readings) {
        const auto got = read_test(c.text);
        ASSERT_TRUE(std::holds_alternative<litmus_test>(got)) << c.text << std::get<refusal>(got).what;
        const exploration e = explore_test(std::get<litmus_test>(got), c.model);
        const char* verdict = e.wanted == 0 ? "never" : e.wanted == e.executions ? "always" : "sometimes";
        EXPECT_STREQ(verdict, c.verdict) << c.text;
    }
}

struct refused_test {
    std::string text;
    int line;
    const char* what;
};

// Each refused file gets its line, and the good file after it is still explored.
TEST(Litmus, RefusesWhatItCannotExploreAndGoesOn)
{
    const refused_test cases[] = {
        {test_of("*x = 1;"), 4, "*x is a plain access: only atomic accesses are explored"},
        {test_of("int r0 = *y;"), 4, "*y is a plain access: only atomic accesses are explored"},
        {"C T\n{}\nP0(atomic_int* x,\n int* y) {}\nexists (x=1)\n", 4, "y is not atomic: only atomic_int* variables are explored"},
        {threads(5), 7, "a fifth thread, P4: the explorer runs at most four"},
        {test_of("while (1) {}"), 4, "a loop: only straight-line code is explored"},
        {test_of("atomic_store(x, 1);\ndo {} while (0);"), 5, "a loop: only straight-line code is explored"},
        {test_of("if (1) atomic_store(x, 1);"), 4, "an if: only straight-line code is explored"},
        {test_of("atomic_store(x, y);"), 4, "y is a pointer used as a value"},
        {test_of("int r0 = 0;\natomic_store(r0, 1);"), 5, "r0 is used as a pointer"},
        {test_of("", "exists (x=1 /\\"), 6, "the condition is not complete"},
        {test_of("", "exists x=1 x=2"), 6, "x after the end of the condition"},
        {test_of("", "exists (x=1)\nlocations [x;]"), 7, "locations after the end of the condition"},
        {test_of("atomic_thing(x);"), 4, "atomic_thing is an unknown call"},
        {test_of("atomic_load_explicit(x);"), 4, "atomic_load_explicit takes 2 arguments"},
        {test_of("atomic_store_explicit(x, 1, memory_order_acquire);"), 4, "atomic_store_explicit with that memory order is undefined"},
        {test_of("atomic_store(x, r3);"), 4, "r3 is not declared before it is used"},
        {"C a b\n{}\nP0(atomic_int* x) {}\nexists (x=1)\n", 1, "the test's name, a..., is more than one word"},
        {"C SB\r{}\rP0(atomic_int* x) {}\rexists (x=1)\r", 1, "its lines end in a carriage return alone: only a line feed ends a line"},
        {test_of("int r0 = atomic_load(x);", "exists (0:r1=1)"), 6, "0:r1 names a register P0 never declares"},
        {test_of("", "exists (1:r0=1)"), 6, "1:r0 names P1, which the test does not have"},
        {test_of("", "exists (z=1)"), 6, "z is not a variable of the test"},
        {test_of("(* never closed"), 4, "a comment that never ends"},
        {"", 1, "not a litmus test: it does not begin with C and the test's name"},
        {std::string("\x7f" "ELF\x02\x01\x01\0\0\n\x03", 11), 1, "not a litmus test: it does not begin with C and the test's name"},
        {"\n\nX86 SB\n{ x=0; }\n P0 | P1 ;\n", 3, "a test for X86: only C tests are explored"},
        // Found by the fuzzer: a message shows a byte it cannot print by its code, never the byte.
        {std::string("C T\n{}\nP0(int* \0y) {}\n", 22), 3, "expected a parameter name but found a byte 0x00"},
    };
    const scratch s;
    for (const refused_test& c : cases) {
        s.write("bad.litmus", c.text);
        const run_result r = run(program("litmus"), {.args = {"bad.litmus", path_of("SB")}, .dir = s.path});
        EXPECT_EQ(r.err, "litmus: bad.litmus:" + std::to_string(c.line) + ": " + c.what + "\n") << c.text;
        EXPECT_EQ(r.out.rfind("SB (" + path_of("SB") + "): ", 0), 0U) << c.text;
        EXPECT_EQ(r.status, 2) << c.text;
    }
}

struct command_case {
    std::vector<std::string> args;
    std::string out_file;
    std::string out;   // what standard output begins with
    std::string err;   // what standard error begins with
    int status;
};

TEST(Litmus, SaysWhyAFileIsNotExploredAndAnswersItsOptions)
{
    const scratch s;
    std::string stores;
    for (int i = 0; i < 17; i++)
        stores += "atomic_store(x, " + std::to_string(i) + ");\n";
    s.write("big.litmus", test_of(stores));
    const std::string usage = "usage: litmus [--states] [--witness] FILE...\n";
    // Twenty-five times CoWW, by a name of fixed length: the printf of the
    // last line crosses the end of the buffer, fails, and drops its rest,
    // leaving nothing to flush.
    s.write("CoWW.litmus", text_of(path_of("CoWW")));
    const std::vector<std::string> many(25, "CoWW.litmus");
    const command_case cases[] = {
        {{"--help"}, "", usage, "", 0},
        {{"--bogus", "SB.litmus"}, "", "", usage, 2},
        {{"--states"}, "", "", usage, 2},
        {{"nosuch.litmus", path_of("MP")}, "", "MP (", "litmus: open nosuch.litmus: No such file or directory\n", 2},
        {{"."}, "", "", "litmus: read .: Is a directory\n", 2},
        // The explorer gives up on a thread of more than 16 stores.
        {{"big.litmus", path_of("MP")}, "", "MP (",
         "litmus: big.litmus: under interleaving, a thread made more stores than the explorer numbers\n", 2},
        {{path_of("SB")}, "/dev/full", "", "litmus: write: No space left on device\n", 1},
        {many, "/dev/full", "", "litmus: write: No space left on device\n", 1},
    };
    for (const command_case& c : cases) {
        const run_result r = run(program("litmus"), {.args = c.args, .dir = s.path, .out_file = c.out_file});
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.args[0];
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.args[0];
        EXPECT_EQ(r.err.empty(), c.err.empty()) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args[0];
    }
}

TEST(Litmus, ShowsEveryFinalStateAndTheShortestWitness)
{
    const run_result r = run(program("litmus"), {.args = {"--states", "--witness", "SB.litmus", "MP+fences.litmus"}, .dir = kit});
    const std::vector<std::string> expected = {
        "SB (SB.litmus): exists (0:r0=0 /\\ 1:r0=0)",
        "interleaving: 3 executions, 3 final states, never",
        "  0:r0=0; 1:r0=1; x=1; y=1;",
        "  0:r0=1; 1:r0=0; x=1; y=1;",
        "  0:r0=1; 1:r0=1; x=1; y=1;",
        "interleaving: no execution meets the proposition",
        "x86-TSO: 4 executions, 4 final states, sometimes (1 of 4 executions)",
        "  0:r0=0; 1:r0=0; x=1; y=1; *",
        "  0:r0=0; 1:r0=1; x=1; y=1;",
        "  0:r0=1; 1:r0=0; x=1; y=1;",
        "  0:r0=1; 1:r0=1; x=1; y=1;",
        "x86-TSO: the shortest execution that meets the proposition",
        "  1. thread 0 stores x = 1 into its store buffer",
        "  2. thread 0 loads y = 0 from memory: the initial value",
        "  3. thread 1 stores y = 1 into its store buffer",
        "  4. thread 1 loads x = 0 from memory: the initial value",
        "  5. thread 0's store buffer drains x = 1 into memory",
        "  6. thread 1's store buffer drains y = 1 into memory",
        "C++: 4 executions, 4 final states, sometimes (1 of 4 executions)",
        "  0:r0=0; 1:r0=0; x=1; y=1; *",
        "  0:r0=0; 1:r0=1; x=1; y=1;",
        "  0:r0=1; 1:r0=0; x=1; y=1;",
        "  0:r0=1; 1:r0=1; x=1; y=1;",
        "C++: the shortest execution that meets the proposition",
        "  1. thread 0 stores x = 1 (relaxed), after every store to x so far",
        "  2. thread 0 loads y = 0 (relaxed): the initial value, the newest",
        "  3. thread 1 stores y = 1 (relaxed), after every store to y so far",
        "  4. thread 1 loads x = 0 (relaxed): the initial value, though thread 0's store (x = 1) is newer",
        "",
        "MP+fences (MP+fences.litmus): exists (1:r0=1 /\\ 1:r1=0)",
    };
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_GE(lines.size(), expected.size()) << r.out;
    for (std::size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

} // namespace
