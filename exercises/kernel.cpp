// What the kernel did in a run of a script, read from proctrace's timeline,
// and where it parts from what the rules say.
#include <algorithm>
#include <map>
#include <sstream>

#include "script.h"

std::string told(const script& s, const fact& f)
{
    std::string who = f.who == outsider ? "a process outside the run" : name_of(s, f.who);
    const std::string other = f.other == outsider ? "a process outside the run" : name_of(s, f.other);
    switch (f.kind) {
    case fact::forks:
        return who + " forks " + other;
    case fact::exits:
        if (f.status == killed_status)
            return who + " is killed by a signal";
        if (f.status == program_status)
            return who + " exits";
        return who + " exits with status " + std::to_string(f.status);
    case fact::blocks:
        return who + " waits";
    case fact::reaped:
        return who + " is reaped by " + other;
    case fact::orphaned:
        return who + " is orphaned and adopted by " + other;
    case fact::prints:
        return who + " prints";
    case fact::execs:
        return who + " execs " + (f.words.empty() ? "a program" : f.words.front());
    }
    return who;
}

namespace {

// The number in the first "[digits]" of TEXT from FROM on; 0 for none.
int first_pid(const std::string& text, std::size_t from)
{
    for (auto open = text.find('[', from); open != std::string::npos; open = text.find('[', open + 1)) {
        const auto close = text.find_first_not_of("0123456789", open + 1);
        if (close != std::string::npos && close > open + 1 && text[close] == ']')
            return std::stoi(text.substr(open + 1, close - open - 1));
    }
    return 0;
}

// A line of the timeline, "   2.769 ms  forkscript[20893]  is orphaned: ...":
// the pid of its subject and what it did; false for any other line. (Not
// with std::regex, which g++ 12 warns about in sanitized builds.)
bool timeline_line(const std::string& text, int& pid, std::string& what)
{
    const auto ms = text.find(" ms  ");
    if (ms == std::string::npos || ms == 0 || text.find_first_not_of(" 0123456789.") != ms + 1)
        return false;
    const auto close = text.find("]  ", ms + 5);
    const auto open = close == std::string::npos ? std::string::npos : text.rfind('[', close);
    if (open == std::string::npos || open < ms + 5 || first_pid(text, open) == 0 || text.find(']', open) != close)
        return false;
    pid = first_pid(text, open);
    what = text.substr(close + 3);
    return true;
}

} // namespace

std::vector<fact> seen_in(const outcome& o, const std::string& trace)
{
    std::vector<fact> forks;
    std::copy_if(o.facts.begin(), o.facts.end(), std::back_inserter(forks), [](const fact& f) { return f.kind == fact::forks; });
    std::map<int, int> who_is;     // by pid
    std::map<int, bool> became;    // by pid: it has called exec, and is the script's no more
    int controller_pid = 0;
    std::size_t next_fork = 0;
    std::vector<fact> seen;
    std::istringstream in(trace);
    bool timeline = false;
    for (std::string text; std::getline(in, text) && text != "Family tree";) {
        timeline = timeline || text == "Timeline";
        int pid = 0;
        std::string what;
        if (!timeline || !timeline_line(text, pid, what))
            continue;
        // The pid the line names after its subject.
        const auto named = [&what](std::size_t from) { return from == std::string::npos ? 0 : first_pid(what, from); };
        const auto known = [&who_is, &controller_pid](int p) {
            if (p == controller_pid)
                return controller;
            const auto at = who_is.find(p);
            return at == who_is.end() ? outsider : at->second;
        };
        if (controller_pid == 0) {
            controller_pid = pid;   // forkscript's own first line: it starts
            continue;
        }
        if (pid == controller_pid) {
            if (what.rfind("forks ", 0) == 0 && !who_is.contains(named(0)))
                who_is[named(0)] = 0;
            continue;
        }
        const int who = known(pid);
        if (who == outsider)
            continue;
        if (what.rfind("forks ", 0) == 0 && !became[pid]) {
            if (next_fork == forks.size())
                continue;
            const int child = forks[next_fork++].other;
            who_is[named(0)] = child;
            seen.push_back({.kind = fact::forks, .who = who, .other = child});
        } else if (what.rfind("exits with status ", 0) == 0) {
            seen.push_back({.kind = fact::exits, .who = who, .status = std::stoi(what.substr(18))});
        } else if (what.rfind("is killed by ", 0) == 0) {
            seen.push_back({.kind = fact::exits, .who = who, .status = killed_status});
        } else if (what.rfind("is orphaned: ", 0) == 0) {
            seen.push_back({.kind = fact::orphaned, .who = who, .other = known(named(what.find("adopted by ")))});
        } else if (what.rfind("is reaped by ", 0) == 0) {
            seen.push_back({.kind = fact::reaped, .who = who, .other = known(named(0))});
        } else if (what.rfind("writes ", 0) == 0 && what.find(" to standard output") != std::string::npos && !became[pid]) {
            seen.push_back({.kind = fact::prints, .who = who});
        } else if (what.rfind("execs ", 0) == 0) {
            became[pid] = true;
            std::istringstream words(what.substr(6));
            std::string path;
            words >> path;
            seen.push_back({.kind = fact::execs, .who = who, .words = {path.substr(path.rfind('/') + 1)}});
        }
    }
    return seen;
}

namespace {

// Whether SEEN is the rules' fact F, as far as a trace can tell.
bool same(const fact& f, const fact& seen)
{
    if (f.kind != seen.kind || f.who != seen.who)
        return false;
    switch (f.kind) {
    case fact::forks:
    case fact::reaped:
    case fact::orphaned:
        return f.other == seen.other;
    case fact::exits:
        return f.status == program_status || f.status == seen.status;
    case fact::execs:
        return !seen.words.empty() && f.words.front().substr(f.words.front().rfind('/') + 1) == seen.words.front();
    default:
        return true;
    }
}

// For each fact of SEEN, the index of the rules' fact of O it is, taking
// the first not yet taken; o.facts.size() for none.
std::vector<std::size_t> matches(const outcome& o, const std::vector<fact>& seen)
{
    std::vector<bool> taken(o.facts.size(), false);
    std::vector<std::size_t> out;
    for (const fact& k : seen) {
        std::size_t i = 0;
        while (i < o.facts.size() && (taken[i] || !same(o.facts[i], k)))
            i++;
        if (i < o.facts.size())
            taken[i] = true;
        out.push_back(i);
    }
    return out;
}

} // namespace

std::vector<fact> timed(const outcome& o, std::vector<fact> seen)
{
    const std::vector<std::size_t> m = matches(o, seen);
    int step = 0;
    for (std::size_t i = 0; i < seen.size(); i++) {
        if (m[i] < o.facts.size())
            step = o.facts[m[i]].step;
        seen[i].step = step;
    }
    return seen;
}

std::vector<std::string> differences(const script& s, const outcome& o, const std::vector<fact>& seen)
{
    std::vector<std::string> out;
    const std::vector<std::size_t> m = matches(o, seen);
    std::vector<bool> matched(o.facts.size(), false);
    const fact* last = nullptr;   // the latest in the script of those seen so far
    for (std::size_t i = 0; i < seen.size(); i++) {
        if (m[i] == o.facts.size()) {
            out.push_back("the kernel: " + told(s, seen[i]) + "; the rules say no such thing");
            continue;
        }
        const fact& f = o.facts[m[i]];
        matched[m[i]] = true;
        if (last != nullptr && f.step < last->step)
            out.push_back("the kernel: " + told(s, f) + ", after " + told(s, *last) + "; the rules: before it");
        else
            last = &f;
    }
    for (std::size_t i = 0; i < o.facts.size(); i++) {
        if (!matched[i] && o.facts[i].kind != fact::blocks)
            out.push_back("the rules: " + told(s, o.facts[i]) + "; the kernel did not");
    }
    return out;
}
