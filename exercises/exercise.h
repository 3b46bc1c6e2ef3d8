// The exercises: each asks what one of the kit's programs will do, from a
// question drawn from a seed, and knows the answer because it computes it
// with the kit's own code: the workers' arithmetic, the counter's step and
// the lock's protocol run in every execution by the explorer. A new exercise
// is a row of the table and its functions; the commands and the class lists
// take every row alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What an answer earns.
struct grade {
    enum { right, wrong, unreadable } mark;
    // Which part is wrong; for an answer that cannot be read, anything to
    // say beyond the form answers take.
    std::string why;
};

struct exercise {
    const char* id;
    const char* program;   // the program it is about
    int minutes;
    const char* gist;      // the question in a few words
    const char* form;      // what form an answer takes
    const char* hint;
    std::string (*question)(std::uint64_t seed);
    // The answer, in the form an answer takes, made by the kit's own code.
    std::string (*key)(std::uint64_t seed);
    grade (*check)(std::uint64_t seed, const std::string& answer);
    // Shows what is possible beside what happened here. Returns 0, or the
    // exit status after saying on standard error what failed.
    int (*reveal)(std::uint64_t seed);
};

// What to say of an answer to E that cannot be read.
std::string unreadable(const exercise& e, const grade& g);

std::span<const exercise> exercises();
const exercise* find_exercise(const std::string& id);

// The question a class in a lecture shares, when no seed is given.
constexpr std::uint64_t lecture_seed = 1;
// A student's own seed for an exercise: the same on every machine, compiler and version.
std::uint64_t student_seed(const std::string& name, const std::string& id);

// The kit's own generator (splitmix64), so that a seed draws the same
// question everywhere: the standard library's distributions differ between
// implementations.
std::uint64_t next_random(std::uint64_t& state);
// A whole number from LOW to HIGH, both included.
std::int64_t pick(std::uint64_t& state, std::int64_t low, std::int64_t high);

// The whole numbers of an answer, of any size, separated by spaces or
// commas, with A..B for every number from A to B, each as std::to_string
// writes it; nothing when it cannot be read. No answer needs more numbers
// than this, and a range of more is a slip, not an answer.
constexpr std::size_t most_in_range = 100000;
std::optional<std::vector<std::string>> numbers_in(const std::string& answer);
// The letters of an answer, any case, with or without spaces or commas;
// nothing when anything else is there.
std::optional<std::string> letters_in(const std::string& answer);
// The one word of an answer, lower-cased, with spaces around it trimmed.
std::string word_in(const std::string& answer);
// Compares an answer's set of items with the key's, each given in order
// without repeats; a wrong answer's why names the first item it leaves out
// and the first it has that it should not, calling each ITEM.
grade compare_sets(const std::vector<std::string>& key, const std::vector<std::string>& answer, const char* item);

// How to run a program beyond its input.
struct program_run {
    std::vector<std::string> args{};   // its arguments
    std::vector<std::string> env{};    // NAME=VALUE, added to predict's own environment or replacing an entry
    std::string dir{};                 // its working directory, when not predict's own
};

// Runs the kit's program NAME, from the folder predict itself is in, with
// INPUT on its standard input, and returns what it printed on its standard
// output; nothing, having said why on standard error, when it could not be
// run or did not exit with status 0.
std::optional<std::string> run_program(const char* name, const std::string& input, const program_run& how = {});
// The path of the kit's program NAME, in the folder predict itself is in.
std::string kit_program(const char* name);
