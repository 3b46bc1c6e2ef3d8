// predict's exercises: every key over many seeds, checked against the
// programs and the published verdicts it stands for, and predict run as a
// teacher and a learner would.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "csv.h"
#include "exercise.h"
#include "process.h"

namespace {

// Every seed a class could be given would be best; 200 find every region of
// every exercise. Sanitized or emulated, where each costs many times more, 25.
#ifdef SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
std::uint64_t seeds()
{
    return sanitized || emulated() ? 25 : 200;
}

std::vector<std::string> words_of(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string s;
    for (const std::string& w : words)
        s += (s.empty() ? "" : " ") + w;
    return s;
}

// Answers one change away from KEY, each of which must be wrong: every
// number or range end moved by one, every item left out, a letter that is
// offered but not in the key added, the other verdict.
std::vector<std::string> perturbed(const std::string& key, char last_letter)
{
    if (key == "never" || key == "sometimes")
        return {key == "never" ? "sometimes" : "never"};
    std::vector<std::string> out;
    const std::vector<std::string> words = words_of(key);
    for (std::size_t i = 0; i < words.size(); i++) {
        std::vector<std::string> w = words;
        const auto dots = w[i].find("..");
        const auto pair = w[i].find_first_of("<:");
        // A part of a key in parts (A / B / C) that is one word alone: a word more, not one less.
        const bool alone = (i == 0 || w[i - 1] == "/") && i + 1 < w.size() && w[i + 1] == "/";
        if (w[i] == "/") {
            continue;
        } else if (pair != std::string::npos) {
            const std::string other = w[i].substr(pair + 1) == "none" ? "forkscript" : "none";
            out.push_back(joined(w) + " " + w[i].substr(0, pair + 1) + other);
            w[i] = w[i].substr(0, pair + 1) + other;
            out.push_back(joined(w));
            w.erase(w.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (w[i] == "parent" || w[i] == "adopter") {
            w[i] = w[i] == "parent" ? "adopter" : "parent";
        } else if (alone) {
            w[i] += w[i].find('C') == std::string::npos ? "C" : "L";
        } else if (std::isalpha(static_cast<unsigned char>(w[i][0])) != 0) {
            w.erase(w.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (dots != std::string::npos) {
            const long long low = std::stoll(w[i].substr(0, dots));
            const long long high = std::stoll(w[i].substr(dots + 2));
            w[i] = std::to_string(low + 1) + ".." + std::to_string(high);
            out.push_back(joined(w));
            w[i] = std::to_string(low) + ".." + std::to_string(high + 1);
        } else {
            w[i] = std::to_string(std::stoll(w[i]) + 1);
        }
        if (!w.empty())
            out.push_back(joined(w));
    }
    for (char c = 'A'; c <= last_letter; c++) {
        if (key.find(c) == std::string::npos)
            out.push_back(key + " " + c);
    }
    return out;
}

// The last letter of the orders a question offers; '@' for none.
char last_letter(const std::string& question)
{
    char last = '@';
    for (const std::string& line : lines_of(question)) {
        if (line.size() > 3 && line.compare(0, 2, "  ") == 0 && line[3] == ':')
            last = line[2];
    }
    return last;
}

TEST(Exercises, AcceptEveryKeyAndRejectAnswersOneChangeAway)
{
    for (const exercise& e : exercises()) {
        for (std::uint64_t seed = 0; seed < seeds(); seed++) {
            const std::string key = e.key(seed);
            EXPECT_EQ(e.check(seed, key).mark, grade::right) << e.id << " seed " << seed << ": " << key;
            for (const std::string& answer : perturbed(key, last_letter(e.question(seed))))
                EXPECT_EQ(e.check(seed, answer).mark, grade::wrong) << e.id << " seed " << seed << ": " << answer;
        }
    }
}

// An order of powerworker's lines can come exactly when the worker's three
// lines are in their order and the completion line is last.
TEST(Exercises, OrderKeysFollowTheThreadsSteps)
{
    for (std::uint64_t seed = 0; seed < seeds(); seed++) {
        std::string expected;
        for (const std::string& line : lines_of(find_exercise("powerworker-order")->question(seed))) {
            const auto at = [&line](const char* name) { return line.find(name); };
            if (line.size() > 3 && line[3] == ':' && at("Number") < at("Square") && at("Square") < at("Cube") &&
                line.rfind("Completed") + 9 == line.size()) {
                expected += expected.empty() ? "" : " ";
                expected += line[2];
            }
        }
        EXPECT_EQ(find_exercise("powerworker-order")->key(seed), expected) << "seed " << seed;
    }
}

// The number after TEXT in LINE.
long long number_after(const std::string& line, const std::string& text)
{
    return std::stoll(line.substr(line.find(text) + text.size()));
}

// The value exercises' keys are what the programs print, given the question's number.
TEST(Exercises, ValueKeysAreWhatTheProgramsPrint)
{
    for (std::uint64_t seed = 0; seed < seeds(); seed++) {
        const std::string fact_q = find_exercise("factworker-value")->question(seed);
        const std::string n = std::to_string(number_after(fact_q, "the number "));
        const run_result f = run(program("factworker"), {.input = n + "\n"});
        EXPECT_NE(f.out.find("Factorial of " + n + " is: " + find_exercise("factworker-value")->key(seed) + "\n"),
                  std::string::npos)
            << f.out;
        const std::string power_q = find_exercise("powerworker-value")->question(seed);
        const std::string m = std::to_string(number_after(power_q, "the number "));
        const run_result p = run(program("powerworker"), {.input = m + "\n"});
        const std::vector<std::string> key = words_of(find_exercise("powerworker-value")->key(seed));
        const char* const labels[] = {"Number = ", "Square = ", "Cube = "};
        for (int i = 0; i < 3; i++)
            EXPECT_NE(p.out.find(labels[i] + key[static_cast<std::size_t>(i)] + "\n"), std::string::npos) << p.out;
    }
}

// The lock's verdicts are lockmodel's rows; the litmus verdicts are the
// published ones: never under interleaving; under x86-TSO only store
// buffering, unordered; under C++ anything but seq_cst or fences, except
// message passing, which release/acquire orders.
TEST(Exercises, VerdictsAreLockmodelsAndThePublishedOnes)
{
    const run_result lockmodel = run(program("lockmodel"));
    const struct {
        const char* words;
        const char* row;
    } locks[] = {{"every access seq_cst", "seq_cst"},
                 {"release stores and acquire loads, under", "release/acquire"},
                 {"every access relaxed", "relaxed"},
                 {"a seq_cst fence after each", "seq_cst fence after the stores"},
                 {"exchange", "turn given away by exchange"}};
    const char* const models[][2] = {{"under interleaving", "interleaving"}, {"under x86-TSO", "x86-TSO"}, {"under the C++", "C++"}};
    std::set<std::string> rows_met;
    for (std::uint64_t seed = 0; seed < seeds(); seed++) {
        const std::string q = find_exercise("lock-verdict")->question(seed);
        for (const auto& lock : locks) {
            for (const auto& model : models) {
                if (q.find(lock.words) == std::string::npos || q.find(model[0]) == std::string::npos)
                    continue;
                std::string row = std::string(lock.row) + ", " + model[1] + ": ";
                if (lockmodel.out.find(row) == std::string::npos)
                    row = std::string(model[1]) + ", " + lock.row + ": ";
                const auto at = lockmodel.out.find(row);
                if (at == std::string::npos)
                    continue;   // a repair under interleaving, which lockmodel leaves out
                rows_met.insert(row);
                const bool both_in = number_after(lockmodel.out.substr(at), "executions, ") != 0;
                EXPECT_EQ(find_exercise("lock-verdict")->key(seed), both_in ? "sometimes" : "never") << q;
            }
        }

        const std::string l = find_exercise("litmus-verdict")->question(seed);
        const bool strong = l.find("seq_cst") != std::string::npos || l.find("fence") != std::string::npos;
        bool allowed = false;
        if (l.find("x86-TSO") != std::string::npos)
            allowed = l.find("store buffering") != std::string::npos && !strong;
        else if (l.find("C++") != std::string::npos)
            allowed = !strong && (l.find("message passing") == std::string::npos || l.find("relaxed") != std::string::npos);
        EXPECT_EQ(find_exercise("litmus-verdict")->key(seed), allowed ? "sometimes" : "never") << l;
    }
    if (seeds() == 200) {
        EXPECT_EQ(rows_met.size(), 13U) << "every row of lockmodel's but for the repairs under interleaving";
    }
}

// Golden questions: a change that alters what students were given shows here.
TEST(Exercises, GiveTheSameQuestionForASeedOrAStudentEverywhere)
{
    const struct {
        const char* id;
        std::uint64_t seed;
        const char* question_start;
    } golden[] = {
        {"factworker-value", lecture_seed, "factworker reads the number 7;"},
        {"powerworker-value", 2, "powerworker reads the number -39017;"},
        {"racecount-finals", 5, "Threads 0 and 1 share one counter, count, which starts at -4. Thread 0 adds 1, four times. "
                                "Thread 1 subtracts 1, twice."},
        {"lock-verdict", student_seed("Zoë \"Z\" Smith, Jr.", "lock-verdict"),
         "Two threads take Peterson's lock once each, running turnlock's own enter_region and leave_region with release "
         "stores and acquire loads, under x86-TSO"},
        {"litmus-verdict", 5, "The independent reads of independent writes test"},
        {"powerworker-order", 3, "powerworker, given 3, prints five lines"},
        {"fork-tree", 2, "forkscript runs this script for real, one action at a time in the order written (forkscript(1) "
                         "gives its rules); forkscript is a's parent and adopts the run's orphans:\n    a forks b\n    b forks c\n"
                         "    c forks d\n    d forks e\n    e exits 1\n    b forks f\n    c exits 1\n    a exits 2\nWhen"},
        {"launcher-lines", 5, "listnowait forks a child, which replaces itself with ls -l, found through PATH; the parent does not wait"},
    };
    for (const auto& g : golden)
        EXPECT_EQ(find_exercise(g.id)->question(g.seed).rfind(g.question_start, 0), 0U) << find_exercise(g.id)->question(g.seed);
    EXPECT_EQ(student_seed("Ada Lovelace", "factworker-value"), 1534818574955644198U);
    EXPECT_EQ(find_exercise("powerworker-order")->key(3), "D");
}

struct refusal {
    std::vector<std::string> args;
    const char* file;       // written to the scratch folder as "f", and named by the last argument
    std::string err;        // what standard error starts with; FILE stands for the file's path
};

// Everything predict cannot do gets one line and status 2, and writes nothing.
TEST(Predict, RefusesWhatItCannotDoWithOneLineAndStatus2)
{
    const refusal cases[] = {
        {{"nosuch"}, nullptr, "predict: no exercise nosuch; the exercises are factworker-value, powerworker-value, "
                              "powerworker-order, racecount-finals, lock-verdict, litmus-verdict, fork-tree, "
                              "fork-reaper, fork-orphans, launcher-lines\n"},
        {{"ask"}, nullptr, "usage: predict"},
        {{"ask", "lock-verdict", "extra"}, nullptr, "usage: predict"},
        {{"check", "lock-verdict"}, nullptr, "usage: predict"},
        {{"check", "lock-verdict", "--student"}, nullptr, "usage: predict"},
        {{"key", "lock-verdict", "--seed", "-1"}, nullptr, "predict: the seed -1 is not a whole number from 0 to"},
        {{"ask", "--help"}, nullptr, "usage: predict"},
        {{"check", "racecount-finals", "0..100000"}, nullptr, "predict: cannot read the answer \"0..100000\": the answer is whole numbers"},
        {{"check", "lock-verdict", "maybe"}, nullptr, "predict: cannot read the answer \"maybe\": the answer is never or sometimes\n"},
        {{"check", "powerworker-order", "A Z"}, nullptr, "predict: cannot read the answer \"A Z\": the answer is the letters"},
        {{"roster", "FILE"}, " \n\n", "predict: FILE: no student names in it, one a line\n"},
        {{"roster", "FILE", "--exercises", "lock-verdict,nosuch"}, "Ada\n", "predict: no exercise nosuch;"},
        {{"roster", "FILE"}, nullptr, "predict: open FILE: No such file or directory\n"},
        {{"grade", "FILE"}, "student,exercise,answer\nAda,lock-verdict\n",
         "predict: FILE:2: a row holds three fields (student, exercise, answer), and this one holds 2"},
        {{"grade", "FILE"}, "Ada,lock-verdict,never\nBea,nosuch,1\n", "predict: FILE:2: no exercise nosuch;"},
        {{"grade", "FILE"}, "Ada,lock-verdict,never\n\"Bea\nB\",factworker-value,\"x, y\"\n",
         "predict: FILE:2: cannot read the answer to factworker-value: the answer is one whole number"},
        {{"grade", "FILE"}, "Ada,lock-verdict,never\n\"Bea,lock-verdict,never\n", "predict: FILE:2: a quote is left open"},
        {{"grade", "FILE"}, "student,exercise,answer\n", "predict: FILE: no answers in it\n"},
    };
    for (const auto& c : cases) {
        const scratch dir;
        const std::string file = (dir.path / "f").string();
        std::vector<std::string> args = c.args;
        for (std::string& a : args)
            a = a == "FILE" ? file : a;
        if (c.file != nullptr)
            dir.write("f", c.file);
        const run_result r = run(program("predict"), {.args = args});
        std::string err = c.err;
        if (const auto at = err.find("FILE"); at != std::string::npos)
            err.replace(at, 4, file);
        EXPECT_EQ(r.status, 2) << args.front();
        EXPECT_EQ(r.err.rfind(err, 0), 0U) << r.err;
        EXPECT_EQ(lines_of(r.err).size(), err.rfind("usage", 0) == 0 ? 5U : 1U) << r.err;
        EXPECT_EQ(r.out, "") << args.front();
    }
    // A failed write is predict's own failure, never a wrong answer.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"check", "lock-verdict", "never"}, {"key", "lock-verdict"}}) {
        const run_result full = run(program("predict"), {.args = args, .out_file = "/dev/full"});
        EXPECT_EQ(full.status, 2) << args.front();
        EXPECT_EQ(full.err, "predict: write: No space left on device\n");
    }
}

// A learner answers, is told right or wrong and why, and sees what happens.
// Keys worked out by hand from the scripts the seeds draw, and answers each
// graded as it must be.
TEST(Exercises, ProcessKeysAndGrades)
{
    const struct {
        const char* id;
        std::uint64_t seed;
        const char* answer;
        decltype(grade::mark) mark;   // the answer's
        bool key = false;             // whether the answer is the key, word for word
    } rows[] = {
        // seed 1: a forks b; b exits; a waits; a forks c; a waits; c exits; a forks d; d forks e; d forks f
        {"fork-tree", 1, "a<forkscript d<a e<d f<d", grade::right, true},
        {"fork-reaper", 1, "a:none b:a c:a d:none e:none f:none", grade::right, true},
        {"fork-orphans", 1, "none", grade::right, true},
        // seed 2: a forks b; b forks c; c forks d; d forks e; e exits 1; b forks f; c exits 1; a exits 2
        {"fork-tree", 2, "b<forkscript c<b d<forkscript e<d f<b", grade::right, true},
        {"fork-reaper", 2, "a:forkscript b:none c:none d:none e:none f:none", grade::right, true},
        {"fork-orphans", 2, "d b", grade::right, true},
        {"launcher-lines", 1, "LP PL / 0 0 / adopter", grade::right, true},
        {"launcher-lines", 2, "P / 0 127 / parent", grade::right, true},
        {"launcher-lines", 5, "CP PC / 0 127 / adopter", grade::right, true},
        {"launcher-lines", 7, "CP / 0 127 / parent", grade::right, true},
        {"fork-tree", 2, "f<b, e<d, d<forkscript c<b b<forkscript", grade::right},
        {"fork-tree", 2, "b<a c<b d<forkscript e<d f<b", grade::wrong},
        {"fork-tree", 2, "b<forkscript c", grade::unreadable},
        {"fork-orphans", 2, "b d", grade::wrong},
        {"fork-orphans", 2, "d b b", grade::wrong},
        {"fork-tree", 2, "b<forkscript c<b d<forkscript e<d f<b f<b", grade::wrong},
        {"fork-tree", 7, "none", grade::right, true},
        {"fork-tree", 2, "none", grade::wrong},
        {"fork-orphans", 2, "", grade::unreadable},
        {"launcher-lines", 1, "pl lp/0 0/adopter", grade::right},
        {"launcher-lines", 1, "LP PL 0 0 adopter", grade::unreadable},
        {"launcher-lines", 1, "LP PX / 0 0 / adopter", grade::unreadable},
    };
    for (const auto& r : rows) {
        const exercise* e = find_exercise(r.id);
        if (r.key) {
            EXPECT_EQ(e->key(r.seed), r.answer) << r.id << " seed " << r.seed;
        }
        EXPECT_EQ(e->check(r.seed, r.answer).mark, r.mark) << r.id << " seed " << r.seed << ": " << r.answer;
    }
}

// What a reveal shows happened is what the key says, seed after seed.
TEST(Predict, RevealsRunsThatAgreeWithTheProcessKeys)
{
    if (emulated())
        GTEST_SKIP() << under_emulation << ", and ptrace does not reach the emulated program";
    for (const char* id : {"fork-tree", "fork-reaper", "fork-orphans", "launcher-lines"}) {
        for (std::uint64_t seed = 1; seed <= 8; seed++) {
            // LeakSanitizer cannot work in the programs proctrace traces.
            const run_result r = run(program("predict"), {.args = {"reveal", id, "--seed", std::to_string(seed)}, .env = {asan_options("detect_leaks=0")}});
            EXPECT_EQ(r.status, 0) << id << " seed " << seed << ":\n" << r.out << r.err;
            const std::string key = find_exercise(id)->key(seed);
            const std::vector<std::string> lines = lines_of(r.out);
            ASSERT_GE(lines.size(), 2U) << r.out;
            EXPECT_EQ(lines[lines.size() - 2].substr(lines[lines.size() - 2].size() - key.size()), key) << r.out;
            // A launcher's run shows one of the orders the key allows.
            std::string happened = lines.back().substr(lines.back().find(": ") + 2);
            happened.erase(0, happened.find_first_not_of(' '));
            const auto rest = happened.find(" / ");
            if (rest != std::string::npos) {
                EXPECT_NE((" " + key).find(" " + happened.substr(0, rest) + " "), std::string::npos) << r.out;
                happened = key.substr(0, key.find(" / ")) + happened.substr(rest);
            }
            EXPECT_EQ(happened, key) << r.out;
        }
    }
}

TEST(Predict, GradesAnAnswerThenReveals)
{
    const std::string key = find_exercise("litmus-verdict")->key(lecture_seed);
    const std::string other = key == "never" ? "sometimes" : "never";
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::vector<std::string> out;   // each in this order in standard output
    } cases[] = {
        {{"check", "litmus-verdict", key}, "", 0, {"right\n"}},
        {{"check", "litmus-verdict", other}, "", 1, {"wrong: it can " + key + " happen\n"}},
        {{"litmus-verdict"}, "maybe\n" + key + "\n", 0,
         {"can it happen that", "That cannot be read: the answer is never or sometimes.", "Right.\n", "What happens:\nUnder "}},
        {{"litmus-verdict"}, other + "\n", 1, {"Wrong: it can " + key + " happen.\nHint: ", "What happens:\nUnder "}},
        // At the end of the input nothing is graded.
        {{"litmus-verdict"}, "maybe\n", 2, {"That cannot be read"}},
        {{"--help"}, "", 0, {"usage: predict"}},
        // Any whole number is an answer, however far past 64 bits: the exact 21!, say.
        {{"check", "factworker-value", "51090942171709440000"}, "", 1, {"wrong: that is not the number factworker prints\n"}},
        {{"check", "racecount-finals", "9223372036854775806..9223372036854775807"}, "", 1, {"wrong: it leaves out count"}},
    };
    for (const auto& c : cases) {
        const run_result r = run(program("predict"), {.args = c.args, .input = c.input});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        std::size_t at = 0;
        for (const std::string& text : c.out) {
            at = r.out.find(text, at);
            ASSERT_NE(at, std::string::npos) << text << " in:\n" << r.out;
        }
        if (c.args.front() == "litmus-verdict") {
            EXPECT_EQ(r.out.find("Right") == std::string::npos && r.out.find("Wrong") == std::string::npos, c.status == 2);
        }
    }
}

std::vector<csv_record> records_of(const std::string& text)
{
    std::vector<csv_record> records;
    int bad = 0;
    EXPECT_TRUE(csv_records(text, records, bad)) << "line " << bad;
    return records;
}

// Names with commas, quotes and accents go through the roster and back
// through grading; each student's seed is the one predict --student gives.
TEST(Predict, RosterAndGradeRoundTripEveryName)
{
    const std::vector<std::string> names = {"Ada Lovelace", "Zoë \"Z\" Smith, Jr.", "Łukasz Żółć", "O'Brien"};
    const scratch dir;
    std::string list;
    for (const std::string& n : names)
        list += n + "\r\n";
    dir.write("class", list + "\n");
    const run_result roster = run(program("predict"), {.args = {"roster", (dir.path / "class").string(), "--exercises",
                                                               "factworker-value,racecount-finals"}});
    ASSERT_EQ(roster.status, 0) << roster.err;
    const std::vector<csv_record> rows = records_of(roster.out);
    ASSERT_EQ(rows.size(), 1 + 2 * names.size());
    // A spreadsheet's export: a byte-order mark, and a heading in its own case.
    std::string answers = "\xEF\xBB\xBFStudent,Exercise,Answer\r\n";
    for (std::size_t i = 1; i < rows.size(); i++) {
        const std::vector<std::string>& f = rows[i].fields;
        ASSERT_EQ(f.size(), 5U);
        EXPECT_EQ(f[0], names[(i - 1) / 2]);
        const std::uint64_t seed = student_seed(f[0], f[1]);
        EXPECT_EQ(f[2], std::to_string(seed));
        EXPECT_EQ(f[3], run(program("predict"), {.args = {"ask", f[1], "--student", f[0]}}).out.substr(0, f[3].size()));
        EXPECT_EQ(f[4], find_exercise(f[1])->key(seed));
        // Every student gets the first right and the second wrong.
        const std::string answer = i % 2 == 1 ? f[4] : perturbed(f[4], '@').front();
        answers += csv_row({f[0], f[1], answer});
    }
    dir.write("answers", answers);
    const run_result graded = run(program("predict"), {.args = {"grade", (dir.path / "answers").string()}});
    ASSERT_EQ(graded.status, 0) << graded.err;
    const std::vector<csv_record> marks = records_of(graded.out);
    ASSERT_EQ(marks.size(), 1 + 3 * names.size());
    for (std::size_t i = 0; i < names.size(); i++) {
        EXPECT_EQ(marks[1 + 2 * i].fields[2], "right");
        EXPECT_EQ(marks[2 + 2 * i].fields[2], "wrong");
        EXPECT_EQ(marks[1 + 2 * names.size() + i].fields, (std::vector<std::string>{names[i], "total", "1 of 2 right", ""}));
    }
}

// The shortest schedules racecount-finals reveals, replayed with the
// counter's step: each load reads the count as the steps before left it,
// each store writes what its thread loaded moved its way, and the last
// store leaves the smallest and then the largest count of the key.
TEST(Predict, RevealsSchedulesThatReachTheKeysExtremes)
{
    for (std::uint64_t seed = 0; seed < seeds() / 5; seed++) {
        const exercise& e = *find_exercise("racecount-finals");
        const std::string q = e.question(seed);
        const run_result r = run(program("predict"), {.args = {"reveal", e.id, "--seed", std::to_string(seed)}});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> key = words_of(e.key(seed));
        const std::string low = key.front().substr(0, key.front().find(".."));
        const std::string& last = key.back();
        const std::string high = last.find("..") == std::string::npos ? last : last.substr(last.find("..") + 2);
        std::vector<std::string> ends;
        long long count = number_after(q, "starts at ");
        long long loaded[3] = {};
        for (const std::string& line : lines_of(r.out)) {
            if (line.rfind("A run that ends at ", 0) == 0) {
                ends.push_back(std::to_string(number_after(line, "ends at ")));
                count = number_after(q, "starts at ");
            } else if (line.find(". thread ") != std::string::npos) {
                const auto t = static_cast<std::size_t>(number_after(line, ". thread "));
                const long long value = number_after(line, "count = ");
                if (line.find(" loads ") != std::string::npos) {
                    EXPECT_EQ(value, count) << line;
                    loaded[t] = value;
                } else {
                    const bool up = q.find("Thread " + std::to_string(t) + " adds") != std::string::npos;
                    EXPECT_EQ(value, loaded[t] + (up ? 1 : -1)) << line;
                    count = value;
                }
            } else if (!ends.empty() && line.empty()) {
                EXPECT_EQ(std::to_string(count), ends.back()) << r.out;
            }
        }
        EXPECT_EQ(std::to_string(count), ends.back()) << r.out;
        EXPECT_EQ(ends, (low == high ? std::vector<std::string>{low} : std::vector<std::string>{low, high})) << r.out;
    }
}

// Every real run of powerworker prints an order the key allows.
TEST(Predict, RealRunsPrintOnlyOrdersTheKeyAllows)
{
    if (emulated())
        GTEST_SKIP() << "predict runs powerworker itself, and the emulator does not run a program that predict starts";
    if (sanitized)
        GTEST_SKIP() << "200 sanitized runs of powerworker take half a minute; the other builds make them";
    const run_result r = run(program("predict"), {.args = {"reveal", "powerworker-order", "--seed", "3"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("!!"), std::string::npos) << r.out;
    const std::vector<std::string> lines = lines_of(r.out);
    const int runs = std::accumulate(lines.begin(), lines.end(), 0, [](int sum, const std::string& line) {
        const auto at = line.find(" run");
        return sum + (at != std::string::npos && line.find("  ") == 0 ? std::stoi(line.substr(line.find_last_of(' ', at - 1))) : 0);
    });
    EXPECT_EQ(runs, 200) << r.out;
}

} // namespace
