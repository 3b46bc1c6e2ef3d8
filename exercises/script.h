// forkscript's scripts and their rules. A script names processes and what
// each does, in the order written; play works out what running it does
// (every fork, exit, adoption and reaping, in order) from the script alone,
// knowing nothing of fork. forkscript runs a script for real, and the
// process exercises take their keys from play.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// A process, by its place in the order the script makes them: 0 is a.
// forkscript itself, the run's parent and subreaper, is `controller`.
constexpr int controller = -1;
// An exit status the rules cannot know: that of a program a process became.
constexpr int program_status = -1;

struct action {
    enum kind_t : std::uint8_t { forks, exits, waits, prints, execs };
    kind_t kind = forks;
    int who = 0;
    int other = controller;   // forks: the child; waits: the child waited for, or controller for any
    int status = 0;           // exits
    std::vector<std::string> words{};   // prints: the line; execs: the program and its arguments
    int line = 0;             // where the script says it; 0 for the exits that close the run
};

struct script {
    std::vector<std::string> names{};   // by process
    std::vector<action> actions{};
};

// What the rules say happened, a fact at a time, in order.
struct fact {
    enum kind_t : std::uint8_t { forks, exits, blocks, reaped, orphaned, prints, execs };
    kind_t kind = forks;
    int step = 0;    // the action that made it happen
    int who = 0;
    int other = 0;   // forks: the child; reaped: the reaper; orphaned: the adopter; blocks: the child waited for, or controller
    int status = 0;  // exits: the status, or program_status
    std::vector<std::string> words{};   // prints, execs: as in the action
};

struct outcome {
    std::vector<action> steps{};   // the script's actions, then the exits that close the run
    std::size_t written = 0;       // how many of the steps are the script's own
    std::vector<fact> facts{};
};

// Why a script cannot run as written.
struct refusal {
    int line = 0;
    std::string why{};
};

// Reads TEXT, an action a line or separated by ';'; '#' starts a comment.
std::variant<script, refusal> read_script(const std::string& text);
// What running S does, or why it cannot run as written.
std::variant<outcome, refusal> play(const script& s);
// The process's name as an answer gives it: forkscript for the controller.
std::string name_of(const script& s, int who);
// The script in the form read_script reads, an action a line.
std::string written(const script& s);

// A script of FEW to MANY forks, exits and waits, drawn from SEED with the
// kit's own generator; the seed also draws how many of them are waits.
script random_script(std::uint64_t seed, int few, int many);

// A process outside the run, as an adopter or reaper the rules never name.
constexpr int outsider = -2;
// An exit status for a process killed by a signal: no exit status is it.
constexpr int killed_status = -2;

// What FACT says, in words: "b is reaped by a".
std::string told(const script& s, const fact& f);

// The facts that proctrace's report TRACE of a run of O (forkscript's own
// process first) shows: forks, exits, orphanings, reapings, prints and
// execs, with the processes named by matching the run's forks, in order,
// with the script's. A wait that blocks leaves nothing in a trace.
std::vector<fact> seen_in(const outcome& o, const std::string& trace);

// SEEN with each fact's step that of the rules' fact of O it matches, or,
// when none does, that of the last one matched before it: when it happened.
std::vector<fact> timed(const outcome& o, std::vector<fact> seen);
// Where the kernel, as SEEN shows it, and the rules part: every fact of
// either with nothing like it in the other, and every fact seen after one
// that the script does later. Empty when they agree.
std::vector<std::string> differences(const script& s, const outcome& o, const std::vector<fact>& seen);
