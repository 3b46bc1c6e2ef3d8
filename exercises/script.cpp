#include "script.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "exercise.h"

namespace {

// A piece of a script: one action's words, and the line it is on.
struct piece {
    std::string text;
    int line;
};

std::vector<piece> pieces_of(const std::string& text)
{
    std::vector<piece> out;
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); n++) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::size_t from = 0;
        for (std::size_t to = 0; to <= line.size(); to++) {
            if (to < line.size() && line[to] != ';')
                continue;
            std::string p = line.substr(from, to - from);
            p.erase(0, std::min(p.size(), p.find_first_not_of(" \t\r")));
            p.erase(p.find_last_not_of(" \t\r") + 1);
            if (!p.empty())
                out.push_back({p, n});
            from = to + 1;
        }
    }
    return out;
}

std::vector<std::string> words_of(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// Why WORD cannot name a process; empty when it can.
std::string bad_name(const std::string& word)
{
    if (word == "forkscript")
        return "\"forkscript\" is forkscript's own name";
    if (word == "none")
        return "\"none\" stands for no process";
    const bool fits = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
    });
    return fits ? "" : "\"" + word + "\" is not a name: a name is letters, digits, '-' and '_'";
}

const char* const form = "an action is NAME forks NAME, NAME exits [STATUS], NAME waits [for NAME], "
                         "NAME prints TEXT or NAME execs PROGRAM [ARG...]";

// Where a process is in its life, as the rules follow it.
enum class life : std::uint8_t { running, waiting, zombie, reaped };

struct proc {
    int parent = controller;
    life state = life::running;
    int target = controller;   // waiting: the child waited for, or controller for any
    std::vector<int> children{};
    std::string program{};     // what it became, when it called exec
};

struct run {
    const script& s;
    std::vector<proc> procs{};
    std::vector<fact> facts{};
    int step = 0;

    void note(fact f)
    {
        f.step = step;
        facts.push_back(std::move(f));
    }

    void reap(int child, int by)
    {
        procs[static_cast<std::size_t>(child)].state = life::reaped;
        note({.kind = fact::reaped, .who = child, .other = by});
    }

    // WHO's end: its children go to forkscript, which reaps at once those
    // already zombies (and, as their parent, a); a parent inside a wait
    // that WHO ends reaps it.
    void exit(int who, int status)
    {
        proc& p = procs[static_cast<std::size_t>(who)];
        p.state = life::zombie;
        note({.kind = fact::exits, .who = who, .status = status});
        for (const int child : p.children) {
            proc& c = procs[static_cast<std::size_t>(child)];
            if (c.state == life::reaped)
                continue;
            c.parent = controller;
            note({.kind = fact::orphaned, .who = child, .other = controller});
        }
        for (const int child : p.children) {
            if (procs[static_cast<std::size_t>(child)].state == life::zombie)
                reap(child, controller);
        }
        if (p.parent == controller) {
            reap(who, controller);
            return;
        }
        proc& parent = procs[static_cast<std::size_t>(p.parent)];
        if (parent.state == life::waiting && (parent.target == controller || parent.target == who)) {
            parent.state = life::running;
            reap(who, p.parent);
        }
    }

    // Why WHO cannot act now; empty when it can.
    std::string cannot_act(int who) const
    {
        const proc& p = procs[static_cast<std::size_t>(who)];
        const std::string& name = s.names[static_cast<std::size_t>(who)];
        if (!p.program.empty())
            return name + " has become " + p.program;
        if (p.state == life::zombie || p.state == life::reaped)
            return name + " has exited";
        if (p.state == life::waiting)
            return name + " is inside a wait";
        return "";
    }

    // Why WHO cannot wait for TARGET (controller: any child); empty when it can.
    std::string wait(int who, int target)
    {
        proc& p = procs[static_cast<std::size_t>(who)];
        const std::string& name = s.names[static_cast<std::size_t>(who)];
        if (target != controller) {
            const std::string& other = s.names[static_cast<std::size_t>(target)];
            if (procs[static_cast<std::size_t>(target)].parent != who)
                return other + " is not a child of " + name;
            if (procs[static_cast<std::size_t>(target)].state == life::reaped)
                return other + " has been reaped";
        }
        int zombie = controller;
        bool could_end = false;
        for (const int child : p.children) {
            const proc& c = procs[static_cast<std::size_t>(child)];
            if (c.state == life::reaped || (target != controller && child != target))
                continue;
            could_end = true;
            // A wait returns the first-made of the zombies: the kernel keeps
            // a parent's children in the order they were made.
            if (c.state == life::zombie && zombie == controller)
                zombie = child;
        }
        if (!could_end)
            return name + " has no child that could end";
        if (zombie != controller) {
            reap(zombie, who);
            return "";
        }
        p.state = life::waiting;
        p.target = target;
        note({.kind = fact::blocks, .who = who, .other = target});
        return "";
    }

    std::string act(const action& a)
    {
        std::string why = cannot_act(a.who);
        if (!why.empty())
            return why;
        switch (a.kind) {
        case action::forks:
            procs[static_cast<std::size_t>(a.other)] = {.parent = a.who};
            procs[static_cast<std::size_t>(a.who)].children.push_back(a.other);
            note({.kind = fact::forks, .who = a.who, .other = a.other});
            return "";
        case action::exits:
            exit(a.who, a.status);
            return "";
        case action::waits:
            return wait(a.who, a.other);
        case action::prints:
            note({.kind = fact::prints, .who = a.who, .words = a.words});
            return "";
        case action::execs:
            // A program inherits the process's children, and may wait for
            // them out of the script's sight: a process execs childless.
            const std::vector<int>& children = procs[static_cast<std::size_t>(a.who)].children;
            const auto left = std::find_if(children.begin(), children.end(), [this](int c) { return procs[static_cast<std::size_t>(c)].state != life::reaped; });
            if (left != children.end())
                return s.names[static_cast<std::size_t>(a.who)] + " still has a child, " + s.names[static_cast<std::size_t>(*left)] +
                       ", that a program could wait for out of the script's sight";
            // The program runs to its end before the script goes on.
            procs[static_cast<std::size_t>(a.who)].program = a.words.front();
            note({.kind = fact::execs, .who = a.who, .words = a.words});
            exit(a.who, program_status);
            return "";
        }
        return "";
    }
};

// How many processes could act after the script's own steps of O: made,
// not exited, and not inside a wait.
int able(const outcome& o)
{
    std::vector<int> can{1};   // by process: 1 while it could act
    for (const fact& f : o.facts) {
        if (f.step >= static_cast<int>(o.written))
            break;
        if (f.kind == fact::forks)
            can.push_back(1);   // the script numbers its processes in the order they are forked
        const bool stops = f.kind == fact::exits || f.kind == fact::blocks;
        const bool returns = f.kind == fact::reaped && f.other != controller;   // the reaper's wait has returned
        if (stops || returns)
            can.at(static_cast<std::size_t>(stops ? f.who : f.other)) = returns ? 1 : 0;
    }
    return static_cast<int>(std::count(can.begin(), can.end(), 1));
}

} // namespace

std::variant<script, refusal> read_script(const std::string& text)
{
    script s{.names = {"a"}};
    const auto known = [&s](const std::string& name) {
        const auto at = std::find(s.names.begin(), s.names.end(), name);
        return at == s.names.end() ? controller : static_cast<int>(at - s.names.begin());
    };
    for (const piece& p : pieces_of(text)) {
        const std::vector<std::string> w = words_of(p.text);
        const refusal unread{p.line, "cannot read \"" + p.text + "\": " + form};
        if (w.size() < 2)
            return unread;
        action a{.who = known(w[0]), .line = p.line};
        if (!bad_name(w[0]).empty())
            return refusal{p.line, bad_name(w[0])};
        if (a.who == controller)
            return refusal{p.line, "no process is called " + w[0] + " yet"};
        const std::string& verb = w[1];
        if (verb == "forks" && w.size() == 3) {
            if (!bad_name(w[2]).empty())
                return refusal{p.line, bad_name(w[2])};
            if (known(w[2]) != controller)
                return refusal{p.line, "the name " + w[2] + " is taken"};
            a.kind = action::forks;
            a.other = static_cast<int>(s.names.size());
            s.names.push_back(w[2]);
        } else if (verb == "exits" && w.size() <= 3) {
            a.kind = action::exits;
            if (w.size() == 3) {
                const bool digits = w[2].size() <= 3 && std::all_of(w[2].begin(), w[2].end(), [](char c) { return c >= '0' && c <= '9'; });
                if (!digits || std::stoi(w[2]) > 255)
                    return refusal{p.line, w[2] + " is not an exit status from 0 to 255"};
                a.status = std::stoi(w[2]);
            }
        } else if (verb == "waits" && (w.size() == 2 || (w.size() == 4 && w[2] == "for"))) {
            a.kind = action::waits;
            if (w.size() == 4) {
                if (!bad_name(w[3]).empty())
                    return refusal{p.line, bad_name(w[3])};
                a.other = known(w[3]);
                if (a.other == controller)
                    return refusal{p.line, "no process is called " + w[3] + " yet"};
            }
        } else if (verb == "prints") {
            a.kind = action::prints;
            const std::size_t at = p.text.find("prints") + 6;
            a.words = {p.text.substr(std::min(p.text.size(), p.text.find_first_not_of(" \t", at)))};
        } else if (verb == "execs" && w.size() >= 3) {
            // A ';' would end the action inside a quoted argument anyway.
            if (p.text.find_first_of("\"'\\") != std::string::npos)
                return refusal{p.line, "quotes are not understood: a program's arguments are the words between spaces"};
            a.kind = action::execs;
            a.words.assign(w.begin() + 2, w.end());
        } else {
            return unread;
        }
        s.actions.push_back(std::move(a));
    }
    return s;
}

std::variant<outcome, refusal> play(const script& s)
{
    run r{.s = s, .procs = std::vector<proc>(s.names.size())};
    outcome o{.steps = s.actions, .written = s.actions.size()};
    for (const action& a : s.actions) {
        const std::string why = r.act(a);
        if (!why.empty())
            return refusal{a.line, why};
        r.step++;
    }
    // The close: the first-made of those still running exits, which may end
    // a wait, until none runs. The last-made of the living has no living
    // child, so it is never inside a wait: the close always ends.
    for (;;) {
        const auto at = std::find_if(r.procs.begin(), r.procs.end(), [](const proc& p) { return p.state == life::running; });
        if (at == r.procs.end())
            break;
        const action a{.kind = action::exits, .who = static_cast<int>(at - r.procs.begin())};
        o.steps.push_back(a);
        r.act(a);
        r.step++;
    }
    o.facts = std::move(r.facts);
    return o;
}

std::string name_of(const script& s, int who)
{
    return who == controller ? "forkscript" : s.names[static_cast<std::size_t>(who)];
}

std::string written(const script& s)
{
    std::string out;
    for (const action& a : s.actions) {
        out += name_of(s, a.who);
        switch (a.kind) {
        case action::forks:
            out += " forks " + name_of(s, a.other);
            break;
        case action::exits:
            out += " exits";
            if (a.status != 0)
                out += ' ' + std::to_string(a.status);
            break;
        case action::waits:
            out += " waits";
            if (a.other != controller)
                out += " for " + name_of(s, a.other);
            break;
        case action::prints:
            out += " prints " + a.words.front();
            break;
        case action::execs:
            out += " execs";
            for (const std::string& w : a.words)
                out += " " + w;
            break;
        }
        out += "\n";
    }
    return out;
}

script random_script(std::uint64_t seed, int few, int many)   // NOLINT(bugprone-easily-swappable-parameters): a range, low then high
{
    std::uint64_t state = seed;
    const int actions = static_cast<int>(pick(state, few, many));
    // Out of eight draws, how many may be a wait: a few, or many.
    const std::int64_t waits = pick(state, 1, 4);
    script s{.names = {"a"}};
    for (int tries = 0; static_cast<int>(s.actions.size()) < actions && tries < 100; tries++) {
        script next = s;
        const int who = static_cast<int>(pick(state, 0, static_cast<std::int64_t>(s.names.size()) - 1));
        const std::int64_t draw = pick(state, 1, 8);
        action a{.who = who, .line = static_cast<int>(s.actions.size()) + 1};
        if (draw <= waits) {
            a.kind = action::waits;
            // Now and then for one child, by its name.
            const int target = static_cast<int>(pick(state, 0, static_cast<std::int64_t>(s.names.size()) * 2));
            a.other = target < static_cast<int>(s.names.size()) ? target : controller;
        } else if (draw <= waits + (8 - waits) / 2 && s.names.size() < 26) {
            a.kind = action::forks;
            a.other = static_cast<int>(s.names.size());
            next.names.push_back(std::string(1, static_cast<char>('a' + s.names.size())));
        } else {
            a.kind = action::exits;
            a.status = static_cast<int>(pick(state, 0, 3));
        }
        next.actions.push_back(a);
        const auto played = play(next);
        // Short of the last action, someone must be left to act.
        if (std::holds_alternative<outcome>(played) && (static_cast<int>(next.actions.size()) == actions || able(std::get<outcome>(played)) > 0))
            s = std::move(next);
    }
    return s;
}
