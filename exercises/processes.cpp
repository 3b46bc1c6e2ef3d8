// The process exercises. A script's answers are read from its facts, the
// rules' or those proctrace saw, as things stand when the script's own
// actions are done, before the close; a launcher's come from its row.
#include "processes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <variant>
#include <vector>

#include "fail.h"
#include "launch.h"
#include "script.h"

namespace {

// A process nobody has reaped yet.
constexpr int nobody = -3;

std::string name(const script& s, int who)
{
    if (who == outsider)
        return "outsider";
    return who == nobody ? "none" : name_of(s, who);
}

// Adds ITEM to a list of items separated by spaces.
void add(std::string& out, const std::string& item)
{
    if (!out.empty())
        out += ' ';
    out += item;
}

void show(const std::string& text)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        std::printf("  | %s\n", line.c_str());
}

std::vector<std::string> tokens(const std::string& answer)
{
    std::string spaced = answer;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    std::istringstream in(spaced);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// The NAME<SEP>NAME items of an answer, as pairs; nothing when one is not.
std::optional<std::vector<std::pair<std::string, std::string>>> pairs_in(const std::string& answer, char sep)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& t : tokens(answer)) {
        const auto at = t.find(sep);
        if (at == 0 || at == std::string::npos || at + 1 == t.size() || t.find(sep, at + 1) != std::string::npos)
            return std::nullopt;
        out.emplace_back(t.substr(0, at), t.substr(at + 1));
    }
    return out;
}

// A name for a file or folder of predict's own, for mkstemp or mkdtemp.
std::string temporary()
{
    const char* tmp = std::getenv("TMPDIR");   // NOLINT(concurrency-mt-unsafe): no thread sets the environment
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/predict-XXXXXX";
}

// Runs COMMAND under proctrace, with its report kept in REPORT; returns
// what the command printed, or nothing, having said why, when it failed.
std::optional<std::string> traced(const std::vector<std::string>& command, const program_run& how, std::string& report)
{
    std::string path = temporary();
    const int fd = mkstemp(path.data());
    if (fd == -1) {
        fail("mkstemp", errno, path.c_str());
        return std::nullopt;
    }
    close(fd);
    program_run with = how;
    with.args = {"-o", path};
    with.args.insert(with.args.end(), command.begin(), command.end());
    auto out = run_program("proctrace", "", with);
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    report = text.str();
    unlink(path.c_str());
    return out;
}

// Says on standard error that a reveal found the kernel parting from the
// key, and returns the status to end with.
int disagreed()
{
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fprintf(stderr, "%s: the kernel did not do what the key says\n", program_invocation_short_name));
    return 1;
}

// forkscript's scripts: the tree, the reapers and the orphans when the
// script's own actions are done.

script script_of(std::uint64_t seed)
{
    return random_script(seed, 4, 12);
}

outcome outcome_of(const script& s)
{
    // A drawn script always plays: random_script keeps only actions that do.
    return std::get<outcome>(play(s));
}

// Where things stand after the script's own actions, by FACTS.
struct standing {
    std::vector<int> parent;                    // by process
    std::vector<int> reaper;                    // by process, or nobody
    std::vector<std::pair<int, int>> orphans{};   // who and at which step, in order
};

standing standing_of(const script& s, const std::vector<fact>& facts)
{
    standing st{.parent = std::vector<int>(s.names.size(), controller), .reaper = std::vector<int>(s.names.size(), nobody)};
    for (const fact& f : facts) {
        if (f.step >= static_cast<int>(s.actions.size()) || f.who < 0)
            continue;
        const auto who = static_cast<std::size_t>(f.who);
        if (f.kind == fact::forks)
            st.parent.at(static_cast<std::size_t>(f.other)) = f.who;
        else if (f.kind == fact::orphaned)
            st.parent[who] = f.other;
        else if (f.kind == fact::reaped)
            st.reaper[who] = f.other;
        if (f.kind == fact::orphaned)
            st.orphans.emplace_back(f.who, f.step);
    }
    return st;
}

std::string tree_of(const script& s, const std::vector<fact>& facts)
{
    const standing st = standing_of(s, facts);
    std::string out;
    for (std::size_t i = 0; i < s.names.size(); i++) {
        if (st.reaper[i] == nobody)
            add(out, s.names[i] + "<" + name(s, st.parent[i]));
    }
    return out.empty() ? "none" : out;
}

std::string reapers_of(const script& s, const std::vector<fact>& facts)
{
    const standing st = standing_of(s, facts);
    std::string out;
    for (std::size_t i = 0; i < s.names.size(); i++)
        add(out, s.names[i] + ":" + name(s, st.reaper[i]));
    return out;
}

// The orphans in the order of the steps that orphan them, and those of one
// exit in the order they were made: the kernel hands them all on at once,
// and a trace may tell them in any order.
std::string orphans_of(const script& s, const std::vector<fact>& facts)
{
    std::vector<std::pair<int, int>> orphans = standing_of(s, facts).orphans;
    std::stable_sort(orphans.begin(), orphans.end(), [](const auto& x, const auto& y) { return x.second != y.second ? x.second < y.second : x.first < y.first; });
    std::string out;
    for (const auto& [who, step] : orphans)
        add(out, name(s, who));
    return out.empty() ? "none" : out;
}

// Checks an answer of NAME<SEP>OTHER pairs against KEY's, one per process the key names.
grade check_pairs(const std::string& key, const std::string& answer, char sep, const char* wrong)   // NOLINT(bugprone-easily-swappable-parameters): the key, then the answer
{
    const auto got = tokens(answer) == std::vector<std::string>{"none"} ? pairs_in("", sep) : pairs_in(answer, sep);
    if (!got)
        return {grade::unreadable, ""};
    const auto want = pairs_in(key == "none" ? "" : key, sep);
    std::map<std::string, std::string> given;
    for (const auto& [who, other] : *got) {
        if (!given.emplace(who, other).second)
            return {grade::wrong, "it gives " + who + " twice"};
    }
    for (const auto& [who, other] : *want) {
        const auto at = given.find(who);
        if (at == given.end())
            return {grade::wrong, "it leaves out " + who};
        if (at->second != other) {
            std::string why = "it gives " + who;
            why += sep + at->second + ", and " + at->second + " is not " + who + "'s " + wrong;
            return {grade::wrong, why};
        }
        given.erase(at);
    }
    if (!given.empty())
        return {grade::wrong, "it has " + given.begin()->first + ", which is not there when the script's last action is done"};
    return {grade::right, ""};
}

// Each script exercise is a question, a reading of the facts (the rules'
// for the key, proctrace's for the reveal) and a way to check an answer.
using reading = std::string (*)(const script&, const std::vector<fact>&);

// The reveal of every script exercise: the run under proctrace, then the
// key beside what the kernel did, by ANSWER.
template <reading answer>
int script_reveal(std::uint64_t seed)
{
    const script s = script_of(seed);
    const outcome o = outcome_of(s);
    std::string report;
    const auto out = traced({kit_program("forkscript"), written(s)}, {}, report);
    if (!out)
        return 1;
    std::printf("forkscript ran the script under proctrace, and printed:\n");
    show(*out);
    std::printf("proctrace, which names each process of the script forkscript, as it has not called exec, saw:\n");
    show(report);
    const std::vector<fact> seen = timed(o, seen_in(o, report));
    const std::string key = answer(s, o.facts);
    const std::string kernel = answer(s, seen);
    std::printf("The key, by forkscript's rules:   %s\nWhat the kernel did, by proctrace: %s\n", key.c_str(), kernel.c_str());
    const std::vector<std::string> apart = differences(s, o, seen);
    if (key == kernel && apart.empty())
        return 0;
    std::printf("!! THE KERNEL DID NOT DO WHAT THE RULES SAY:\n");
    for (const std::string& d : apart)
        std::printf("!!   %s\n", d.c_str());
    return disagreed();
}

// The launchers: what each prints, each process's status and the child's reaper.

struct launch_case {
    const launcher& l;
    bool found;   // whether PATH holds the program
};

launch_case launch_case_of(std::uint64_t seed)
{
    const auto which = static_cast<std::size_t>(pick(seed, 0, std::size(launchers) - 1));
    return {launchers[which], pick(seed, 0, 1) == 1};
}

// Every order of the lines on standard output, as letters: the parent's
// line P comes after its wait, which ends when the child does; the child
// prints L (its program's output) or, if exec fails, C, when it has one.
std::vector<std::string> line_orders(const launch_case& c)
{
    const std::string child = c.found ? "L" : c.l.child_line != nullptr ? "C" : "";
    if (c.l.mode != wait_for::nothing || child.empty())
        return {child + "P"};
    return {child + "P", "P" + child};
}

const char* reaper_word(const launch_case& c)
{
    return c.l.mode == wait_for::nothing ? "adopter" : "parent";
}

int child_status_of(const launch_case& c)
{
    return c.found ? 0 : 127;
}

std::string launch_key(const std::vector<std::string>& orders, int child_status, const char* reaper)
{
    std::string out;
    for (const std::string& o : orders)
        out += o + " ";
    return out + "/ 0 " + std::to_string(child_status) + " / " + reaper;
}

template <const char* ask>
std::string script_question(std::uint64_t seed)
{
    std::string lines;
    std::istringstream in(written(script_of(seed)));
    for (std::string line; std::getline(in, line);)
        lines += "    " + line + "\n";
    return "forkscript runs this script for real, one action at a time in the order written (forkscript(1) gives its "
           "rules); forkscript is a's parent and adopts the run's orphans:\n" +
           lines + ask;
}

template <reading answer>
std::string script_key(std::uint64_t seed)
{
    const script s = script_of(seed);
    return answer(s, outcome_of(s).facts);
}

template <reading answer, char sep, const char* wrong>
grade pairs_check(std::uint64_t seed, const std::string& given)
{
    return check_pairs(script_key<answer>(seed), given, sep, wrong);
}

grade orphans_check(std::uint64_t seed, const std::string& answer)
{
    const script s = script_of(seed);
    std::map<std::string, int> when;   // the step at which each is orphaned
    for (const auto& [who, step] : standing_of(s, outcome_of(s).facts).orphans)
        when[s.names[static_cast<std::size_t>(who)]] = step;
    std::vector<std::string> got = tokens(answer);
    if (got == std::vector<std::string>{"none"})
        got.clear();
    if (got.empty() && tokens(answer).empty())
        return {grade::unreadable, ""};
    int last = 0;
    std::string before;
    for (const std::string& who : got) {
        const auto at = when.find(who);
        if (at == when.end() && std::count(got.begin(), got.end(), who) > 1)
            return {grade::wrong, "it gives " + who + " twice"};
        if (at == when.end())
            return {grade::wrong, "it has " + who + ", which is not orphaned while the script's actions run"};
        if (at->second < last) {
            std::string why = who;
            why += " is orphaned before ";
            return {grade::wrong, why += before};
        }
        last = at->second;
        before = who;
        when.erase(at);
    }
    if (!when.empty())
        return {grade::wrong, "it leaves out " + when.begin()->first + ", which is orphaned"};
    return {grade::right, ""};
}

constexpr char tree_ask[] = "When its last action is done, which processes are still there, running or zombies, and what "
                            "is each one's parent then?";
constexpr char reaper_ask[] = "When its last action is done, who has reaped each process: its parent, by name, or forkscript, "
                              "or none if nobody has yet?";
constexpr char orphans_ask[] = "Which processes are orphaned, their parent exiting before they are reaped, while its actions "
                               "run, and in what order?";
constexpr char parent_then[] = "parent then";
constexpr char reaper_then[] = "reaper then";

std::string launcher_question(std::uint64_t seed)
{
    const launch_case c = launch_case_of(seed);
    const char* const waits[] = {"waits for that child with waitpid", "waits for any child with wait", "does not wait"};
    std::string q = std::string(c.l.name) + " forks a child, which replaces itself with " + c.l.file + (c.l.arg == nullptr ? "" : " ") +
                    (c.l.arg == nullptr ? "" : c.l.arg) + ", found through PATH; the parent " + waits[static_cast<int>(c.l.mode)] +
                    ", then prints \"" + c.l.parent_line + "\" and exits. If exec fails, the child ";
    q += c.l.child_line == nullptr ? "" : "prints \"" + std::string(c.l.child_line) + "\" and ";
    q += "exits with status 127 (read launchers/" + std::string(c.l.name) + ".cpp and launch.cpp). Here PATH ";
    q += c.found ? std::string("holds ") + c.l.file + (std::string(c.l.file) == "top" ? " (a stand-in that prints one line and exits)" : "")
                 : std::string("holds no ") + c.l.file;
    return q + ". On standard output, P is the parent's line, C the child's and L what " + c.l.file +
           " prints. In which orders can the lines come; what are the parent's and the child's exit statuses; and who "
           "reaps the child: its parent, or the process that adopts it?";
}

std::string launcher_key(std::uint64_t seed)
{
    const launch_case c = launch_case_of(seed);
    return launch_key(line_orders(c), child_status_of(c), reaper_word(c));
}

grade launcher_check(std::uint64_t seed, const std::string& answer)
{
    std::vector<std::string> parts;
    std::istringstream in(answer);
    for (std::string part; std::getline(in, part, '/');)
        parts.push_back(part);
    const std::vector<std::string> key = tokens(launcher_key(seed));   // orders... / p c / reaper
    if (parts.size() != 3)
        return {grade::unreadable, ""};
    std::vector<std::string> orders = tokens(parts[0]);
    const std::optional<std::vector<std::string>> statuses = numbers_in(parts[1]);
    const std::vector<std::string> reaper = tokens(parts[2]);
    const bool letters = !orders.empty() && std::all_of(orders.begin(), orders.end(), [](std::string& o) {
        std::transform(o.begin(), o.end(), o.begin(), [](char ch) { return static_cast<char>(std::toupper(static_cast<unsigned char>(ch))); });
        return o.find_first_not_of("PCL") == std::string::npos;
    });
    if (!letters || !statuses || statuses->size() != 2 || reaper.size() != 1)
        return {grade::unreadable, ""};
    const auto slash = std::find(key.begin(), key.end(), "/");
    const std::vector<std::string> key_orders(key.begin(), slash);
    std::sort(orders.begin(), orders.end());
    orders.erase(std::unique(orders.begin(), orders.end()), orders.end());
    if (grade g = compare_sets(key_orders, orders, "the order"); g.mark != grade::right)
        return g;
    if ((*statuses)[0] != *(slash + 1))
        return {grade::wrong, "the parent's exit status is not " + (*statuses)[0]};
    if ((*statuses)[1] != *(slash + 2))
        return {grade::wrong, "the child's exit status is not " + (*statuses)[1]};
    if (reaper[0] != key.back())
        return {grade::wrong, "the child is not reaped by its " + reaper[0]};
    return {grade::right, ""};
}

int launcher_reveal(std::uint64_t seed)
{
    const launch_case c = launch_case_of(seed);
    // A folder of its own to list, which holds the stand-in for top, and on
    // PATH only when the program is to be found.
    std::string dir = temporary();
    if (mkdtemp(dir.data()) == nullptr)
        return fail("mkdtemp", errno, dir.c_str());
    const std::string stand_in = dir + "/top";
    if (c.found) {
        std::ofstream top(stand_in);
        top << "#!/bin/sh\necho 'top (a stand-in): one line, then it exits'\n";
    }
    const char* path = std::getenv("PATH");   // NOLINT(concurrency-mt-unsafe): no thread sets the environment
    program_run how{.env = {"PATH=" + (c.found ? dir + ":" + (path != nullptr ? path : "/usr/bin:/bin") : dir)}, .dir = dir};
    std::string report;
    std::optional<std::string> out;
    if (!c.found || chmod(stand_in.c_str(), 0755) == 0)
        out = traced({kit_program(c.l.name)}, how, report);
    else
        fail("chmod", errno, stand_in.c_str());
    if (c.found)
        unlink(stand_in.c_str());
    rmdir(dir.c_str());
    if (!out)
        return 1;
    std::printf("%s, with %s %s on PATH, run under proctrace, printed:\n", c.l.name, c.found ? "" : "no", c.l.file);
    show(*out);
    std::printf("and proctrace saw:\n");
    show(report);
    // The lines as letters, a run of the program's lines as one L.
    std::string order;
    std::istringstream lines(*out);
    for (std::string line; std::getline(lines, line);) {
        const char letter = line == c.l.parent_line ? 'P' : c.l.child_line != nullptr && line == c.l.child_line ? 'C' : 'L';
        if (order.empty() || letter != 'L' || order.back() != 'L')
            order += letter;
    }
    // The launcher is the run's first process, as forkscript is of a script's; its child is the first it forks.
    int child_status = killed_status;
    std::string reaper = "nobody";
    for (const fact& f : seen_in(outcome{}, report)) {
        if (f.who == 0 && f.kind == fact::exits)
            child_status = f.status;
        if (f.who == 0 && f.kind == fact::reaped)
            reaper = f.other == controller ? "parent" : "adopter";
    }
    const std::vector<std::string> orders = line_orders(c);
    std::printf("The key, by the launchers' table: %s\nWhat happened here:               %s\n", launcher_key(seed).c_str(),
                launch_key({order}, child_status, reaper.c_str()).c_str());
    if (std::find(orders.begin(), orders.end(), order) != orders.end() && child_status == child_status_of(c) && reaper == reaper_word(c))
        return 0;
    std::printf("!! WHAT HAPPENED IS NOT WHAT THE KEY SAYS\n");
    return disagreed();
}

} // namespace

constinit const exercise fork_tree{
    "fork-tree", "forkscript", 5, "which processes a script leaves, and their parents", "child<parent pairs, such as b<a c<forkscript, or none",
    "A process is there, running or a zombie, until it is reaped. When its parent exits first, forkscript, the run's "
    "subreaper, adopts it, not its grandparent, and reaps it at once if it is a zombie.",
    script_question<tree_ask>, script_key<tree_of>, pairs_check<tree_of, '<', parent_then>, script_reveal<tree_of>};

constinit const exercise fork_reaper{
    "fork-reaper", "forkscript", 5, "who reaps each process of a script", "name:reaper for every process, such as a:none b:a c:forkscript",
    "Only a parent reaps, with a wait: at once if a child it waits for is a zombie (the first-made, when it waits for any), "
    "else when one exits. forkscript reaps a when a exits, and what it adopts at once.",
    script_question<reaper_ask>, script_key<reapers_of>, pairs_check<reapers_of, ':', reaper_then>, script_reveal<reapers_of>};

constinit const exercise fork_orphans{
    "fork-orphans", "forkscript", 4, "which processes of a script are orphaned, in order", "names in the order they are orphaned, such as c d b, or none",
    "A process is orphaned when its parent exits before it is reaped, running or a zombie; the children one exit orphans "
    "may come in any order among themselves.",
    script_question<orphans_ask>, script_key<orphans_of>, orphans_check, script_reveal<orphans_of>};

constinit const exercise launcher_lines{
    "launcher-lines", "listwait", 4, "the lines a launcher prints, the statuses and the child's reaper",
    "the orders as letters, then the parent's and the child's status, then parent or adopter, such as LP PL / 0 0 / adopter",
    "A wait returns only when the child has ended, so the line after it comes last; without a wait nothing orders the two "
    "processes, and the parent's exit leaves the child to be adopted. A failed exec returns, and the child goes on.",
    launcher_question, launcher_key, launcher_check, launcher_reveal};
