// The report's rules: how events become lines. Writes of one task to one
// stream, from one source, make one line until its process does anything
// else (a fork, a wait, an adoption, a stop...), and quote the first line
// they wrote together; a process is a zombie from its exit to the wait that
// returns it, unless the kernel reaps it at once; a pid or tid used again
// is a new task; the started program's reaping is where a shell would print
// its prompt. Its cost grows with the events, not their square: no walk
// recurses, and the tree's indentation stops growing at a depth.
#include "report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

namespace {

// How many levels deep the tree still indents; a line below says its depth.
constexpr std::size_t drawn_depth = 20;

struct process {
    int pid = 0;
    int parent = 0;
    std::string name{};
    std::vector<std::string> programs{};
    std::int64_t born = 0;
    std::int64_t ended = -1;
    std::int64_t zombie = -1;   // from when a wait could return it
    std::int64_t reaped = -1;
    std::string how{};      // how it ended
    std::string reaper{};   // empty when the kernel reaped it
    int why = 0;            // the kernel reaped it: a reaped_by_kernel
    bool adopted = false;
    std::vector<std::size_t> threads{};   // other than its first
    std::vector<std::size_t> children{};
    std::map<int, std::size_t> writing{};   // a task's run of writes still open: its line
};

struct thread {
    int tid = 0;
    std::int64_t born = 0;
    std::int64_t ended = -1;
    bool execed = false;   // it called exec and carried on as the process
};

// A task's row of the lanes: its times.
struct lane {
    std::string name{};
    std::int64_t born = 0;
    std::int64_t ended = 0;
    std::int64_t reaped = 0;
};

// What a lane shows for the column [from, to): '#' if the task ran at any
// moment of it, else 'z' if it was a zombie, '.' before it started, and
// nothing once it was gone. An instant counts in the column it falls in.
char mark(const lane& r, double from, double to)
{
    const auto during = [&](std::int64_t begin, std::int64_t end) {
        const auto a = static_cast<double>(begin);
        const auto b = static_cast<double>(end);
        return a < to && (b > from || (a == b && a >= from));
    };
    if (during(r.born, r.ended))
        return '#';
    if (r.reaped > r.ended && during(r.ended, r.reaped))
        return 'z';
    return to <= static_cast<double>(r.born) ? '.' : ' ';
}

// A line of the timeline; a run of writes is completed as it grows.
struct line {
    std::int64_t ns = 0;
    std::string task{};
    std::string text{};
    int fd = 0;   // a run of writes: its stream
    std::int64_t bytes = 0;
    int calls = 0;
    std::string first{};
    std::string source{};
    bool quoted = false;   // first holds all the quote can show
};

std::string printed(const char* format, auto... args)
{
    char buf[512];
    // Every line made here fits; a longer one is cut, never overrun.
    static_cast<void>(std::snprintf(buf, sizeof buf, format, args...));
    return buf;
}

std::string ms(std::int64_t ns)
{
    return printed("%.3f ms", static_cast<double>(ns) / 1e6);
}

std::string signal_name(int sig)
{
    const char* abbrev = sigabbrev_np(sig);
    return abbrev != nullptr ? std::string("SIG") + abbrev : printed("signal %d", sig);
}

// TEXT with a line end shown as \n, anything else unprintable as \xNN, and
// each of ALSO after a backslash, so that it keeps to its line.
std::string escaped(const std::string& text, const char* also = "")
{
    std::string shown;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n')
            shown += "\\n";
        else if (c != '\0' && std::strchr(also, c) != nullptr)
            shown += std::string("\\") + c;
        else if (u < 0x20 || u >= 0x7f)
            shown += printed("\\x%02x", u);
        else
            shown += c;
    }
    return shown;
}

// A program's path and its argument vector, escaped, as exec got them.
std::string command(const event& e)
{
    std::string words = escaped(e.argv.empty() ? e.name : e.argv[0]);
    for (std::size_t i = 1; i < e.argv.size(); i++)
        words += ' ' + escaped(e.argv[i]);
    return words;
}

// The first line written, cut to 40 bytes, escaped.
std::string quoted(const std::string& bytes)
{
    const std::size_t newline = bytes.find('\n');
    const std::size_t end = std::min({newline == std::string::npos ? bytes.size() : newline + 1, bytes.size(), quoted_bytes});
    std::string shown(1, '"');
    shown += escaped(bytes.substr(0, end), "\"\\");
    return shown += '"';
}

// Exec under ptrace keeps the caller's privileges: what the program file
// would have given it and did not, from a mask of lost_*.
std::string withheld(int lost)
{
    std::vector<const char*> kinds;
    for (const auto& [bit, kind] : {std::pair{lost_set_user_id, "set-user-ID bit"}, std::pair{lost_set_group_id, "set-group-ID bit"},
                                    std::pair{lost_capabilities, "file capabilities"}}) {
        if ((lost & bit) != 0)
            kinds.push_back(kind);
    }
    if (kinds.empty())
        return "";
    std::string words = kinds[0];
    for (std::size_t i = 1; i < kinds.size(); i++)
        words += std::string(i + 1 == kinds.size() ? " and " : ", ") + kinds[i];
    return "; it runs without the privileges of its " + words + " under ptrace";
}

// What a parent asked for that made the kernel reap its child at once.
const char* asked(int why)
{
    switch (why) {
    case parent_ignores_sigchld:
        return "ignores SIGCHLD";
    case parent_asks_not_to_wait:
        return "asks not to wait";
    default:
        return nullptr;
    }
}

// A run's quote grows from each call's first bytes, until it holds a line
// end or all the quote shows; a call of which only the start is known ends
// it, since the bytes after that start are unknown.
void quote(line& l, const event& e)
{
    if (l.quoted)
        return;
    l.first += e.text;
    l.quoted = l.first.find('\n') != std::string::npos || l.first.size() >= quoted_bytes || std::cmp_less(e.text.size(), e.bytes);
}

// Process P, or its task TID however it is numbered.
std::string title(const process& p, int tid = 0)
{
    const std::string name = escaped(p.name);
    return tid == 0 ? printed("%s[%d]", name.c_str(), p.pid) : printed("%s[%d/%d]", name.c_str(), p.pid, tid);
}

struct reporter {
    int tracer;
    std::vector<process> processes{};   // in the order they began, so a pid used again is a process of its own
    std::vector<thread> threads{};
    std::map<int, std::size_t> pids{};   // the newest process with a pid
    std::map<int, std::size_t> tids{};
    std::vector<line> lines{};
    std::optional<std::size_t> root{};
    std::int64_t last = 0;

    std::size_t begin(int pid, int parent, const std::string& name, std::int64_t ns)
    {
        pids[pid] = processes.size();
        processes.push_back({pid, parent, name, {name}, ns});
        return processes.size() - 1;
    }

    // The newest process with PID; one that no event began is taken to begin at NS.
    std::size_t of(int pid, std::int64_t ns)
    {
        const auto known = pids.find(pid);
        return known != pids.end() ? known->second : begin(pid, 0, "", ns);
    }

    std::string label(int pid, int tid = 0) const
    {
        if (pid == tracer)
            return printed("proctrace[%d]", pid);
        const auto known = pids.find(pid);
        if (known == pids.end())
            return printed("[%d]", pid);
        return title(processes[known->second], tid == pid ? 0 : tid);
    }

    void add(const event& e, const std::string& text)
    {
        lines.push_back({e.ns, label(e.pid, e.tid), text});
    }

    // What PID does next comes after the writes of its tasks so far.
    void interrupt(int pid)
    {
        const auto known = pids.find(pid);
        if (known != pids.end())
            processes[known->second].writing.clear();
    }

    void write(const event& e, std::size_t i)
    {
        std::map<int, std::size_t>& open = processes[i].writing;
        const auto run = open.find(e.tid);
        if (run != open.end() && lines[run->second].fd == e.fd && lines[run->second].source == e.source) {
            line& l = lines[run->second];
            l.bytes += e.bytes;
            l.calls++;
            quote(l, e);
            return;
        }
        open[e.tid] = lines.size();
        lines.push_back({e.ns, label(e.pid, e.tid), "", e.fd, e.bytes, 1, "", e.source});
        quote(lines.back(), e);
    }

    // Processes started and not yet ended.
    std::string running() const
    {
        std::string names;
        for (const auto& [pid, i] : pids) {
            if (processes[i].ended < 0)
                names += (names.empty() ? "" : ", ") + title(processes[i]);
        }
        return names;
    }

    // An exec from a thread other than the first ends every other thread,
    // the first too, and the caller takes the process's pid.
    void exec(const event& e, std::size_t i)
    {
        process& p = processes[i];
        const std::string lost = withheld(e.code);
        if (e.other == 0 || e.other == e.pid) {
            add(e, "execs " + command(e) + lost);
            p.name = e.name;
            p.programs.push_back(e.name);
            return;
        }
        // Labelled by the name the process had before the exec.
        const std::string caller = title(p, e.other);
        lines.push_back({e.ns, title(p, e.pid), "ends: its thread " + caller + " calls exec"});
        const auto t = tids.find(e.other);
        if (t != tids.end()) {
            threads[t->second].ended = e.ns;
            threads[t->second].execed = true;
        }
        p.name = e.name;
        p.programs.push_back(e.name);
        lines.push_back({e.ns, caller, "execs " + command(e) + ", and carries on as " + title(p) + lost});
    }

    void reap(const event& e, std::size_t i)
    {
        process& p = processes[i];
        p.reaped = e.ns;
        if (e.other == 0) {
            p.why = e.code;
            const char* why = asked(e.code);
            add(e, "is reaped by the kernel at once" + (why == nullptr ? "" : ": its parent " + label(p.parent) + " " + why));
        } else {
            interrupt(e.other);
            p.reaper = label(e.other);
            add(e, "is reaped by " + p.reaper + " after " + ms(e.ns - std::max<std::int64_t>(p.zombie, 0)) + " as a zombie");
        }
        if (i == root) {
            const std::string still = running();
            lines.push_back({e.ns, "", "(a shell would print its next prompt now; " +
                                           (still.empty() ? std::string("nothing it started is still running)")
                                                          : "still running: " + still + ")")});
        }
    }

    void take(const event& e)
    {
        last = std::max(last, e.ns);
        if (e.what == happening::starts) {
            root = begin(e.pid, tracer, e.name, e.ns);
            add(e, "starts " + command(e) + withheld(e.code));
            return;
        }
        const std::size_t i = of(e.pid, e.ns);
        if (e.what == happening::writes) {
            write(e, i);
            return;
        }
        // Whatever else its process does comes between two lines of writes,
        // so that the timeline shows the writes on either side of it.
        processes[i].writing.clear();
        switch (e.what) {
        case happening::starts:
        case happening::writes:
            break;
        case happening::forks: {
            const std::size_t child = begin(e.other, e.pid, processes[i].name, e.ns);
            processes[i].children.push_back(child);
            add(e, "forks " + title(processes[child]));
            break;
        }
        case happening::creates_thread:
            tids[e.other] = threads.size();
            processes[i].threads.push_back(threads.size());
            threads.push_back({e.other, e.ns});
            add(e, "creates thread " + title(processes[i], e.other));
            break;
        case happening::execs:
            exec(e, i);
            break;
        case happening::exits:
            processes[i].ended = e.ns;
            processes[i].zombie = std::max(e.ns, e.zombie_ns);
            processes[i].how = printed("exited with status %d", e.code);
            add(e, printed("exits with status %d", e.code));
            break;
        case happening::killed: {
            const std::string signal = signal_name(e.code) + (e.core ? " (core dumped)" : "");
            processes[i].ended = e.ns;
            processes[i].zombie = std::max(e.ns, e.zombie_ns);
            processes[i].how = "was killed by " + signal;
            add(e, "is killed by " + signal);
            break;
        }
        case happening::ends: {
            const auto t = tids.find(e.tid);
            if (t != tids.end())
                threads[t->second].ended = e.ns;
            add(e, "ends");
            break;
        }
        case happening::stopped:
            add(e, "is stopped by " + signal_name(e.code));
            break;
        case happening::continues:
            add(e, "continues");
            break;
        case happening::orphaned:
            interrupt(e.other);
            add(e, "is orphaned: its parent " + label(processes[i].parent) + " has exited; adopted by " + label(e.other));
            processes[i].parent = e.other;
            processes[i].adopted = true;
            break;
        case happening::reaped:
            reap(e, i);
            break;
        }
    }

    void timeline(std::string& out) const
    {
        out += "Timeline\n";
        for (const line& l : lines) {
            std::string text = l.text;
            if (l.calls > 0) {
                const char* stream = l.fd == 1 ? "standard output" : "standard error";
                text = l.calls == 1 ? printed("writes %lld bytes to %s", static_cast<long long>(l.bytes), stream)
                                    : printed("writes %lld bytes in %d calls to %s", static_cast<long long>(l.bytes), l.calls, stream);
                // Bytes from a source never passed through the program, which has nothing to quote.
                text += l.source.empty() ? ": " + quoted(l.first) : " from " + escaped(l.source);
            }
            out += printed("%10.3f ms  ", static_cast<double>(l.ns) / 1e6) + (l.task.empty() ? "" : l.task + "  ") + text + "\n";
        }
    }

    // Process P's line in the tree, from its label on.
    static std::string entry(const process& p)
    {
        std::string programs;
        for (const std::string& name : p.programs)
            programs += (programs.empty() ? "" : " → ") + escaped(name);
        std::string out = title(p) + ": " + programs;
        if (p.ended < 0)
            return out + ", still running at the end\n";
        out += ", " + p.how + " after " + ms(p.ended - p.born);
        const char* why = asked(p.why);
        if (p.reaped >= 0 && p.reaper.empty())
            out += std::string(", reaped by the kernel at once") + (why == nullptr ? "" : std::string(" (its parent ") + why + ")");
        else if (p.reaped >= 0)
            out += ", a zombie for " + ms(p.reaped - p.zombie) + ", reaped by " + p.reaper;
        return out + (p.adopted ? " (adopted)\n" : "\n");
    }

    // Thread T's line in the tree, of process P, from its label on.
    static std::string entry(const process& p, const thread& t)
    {
        std::string out = "thread " + title(p, t.tid);
        if (t.ended < 0)
            return out + ": still running at the end\n";
        return out + ": ran " + ms(t.ended - t.born) + (t.execed ? ", then called exec and carried on as the process\n" : "\n");
    }

    // The tree from process TOP down: each process's threads, then its
    // children, below it. A walk with a stack of its own, for a chain of
    // thousands of generations; and past drawn_depth the indentation stops
    // growing, so that no line grows with the depth but its number.
    void tree(std::string& out, const process& top) const
    {
        struct level {
            const process* p;
            std::size_t next;     // its next thread or child
            std::size_t depth;    // of its threads and children
            std::size_t indent;   // their indentation's length
        };
        std::string indent;
        std::vector<level> stack{{&top, 0, 1, 0}};
        out += entry(top);
        while (!stack.empty()) {
            const level at = stack.back();
            const process& p = *at.p;
            const std::size_t count = p.threads.size() + p.children.size();
            if (at.next == count) {
                stack.pop_back();
                continue;
            }
            stack.back().next++;
            const bool final = at.next + 1 == count;
            indent.resize(at.indent);
            out += indent + (at.depth > drawn_depth ? printed("[depth %zu] ", at.depth) : "") + (final ? "└─ " : "├─ ");
            if (at.next < p.threads.size()) {
                out += entry(p, threads[p.threads[at.next]]);
                continue;
            }
            const process& child = processes[p.children[at.next - p.threads.size()]];
            out += entry(child);
            if (at.depth < drawn_depth)
                indent += final ? "   " : "│  ";
            stack.push_back({&child, 0, at.depth + 1, indent.size()});
        }
    }

    // A row a task, its process's threads below it, then its children.
    void lanes(std::string& out, const process& top, int columns) const
    {
        std::vector<lane> rows;
        std::vector<const process*> stack{&top};
        while (!stack.empty()) {
            const process& p = *stack.back();
            stack.pop_back();
            // Until it is a zombie, it is still running its exit.
            const std::int64_t ended = p.ended < 0 ? last : p.zombie;
            // The kernel reaped it at once: no time as a zombie.
            rows.push_back({title(p), p.born, ended, p.reaped < 0 || p.reaper.empty() ? ended : p.reaped});
            for (const std::size_t t : p.threads) {
                const thread& r = threads[t];
                const std::int64_t gone = r.ended < 0 ? last : r.ended;
                rows.push_back({title(p, r.tid), r.born, gone, gone});
            }
            for (auto child = p.children.rbegin(); child != p.children.rend(); ++child)
                stack.push_back(&processes[*child]);
        }
        std::size_t width = 0;
        for (const lane& r : rows)
            width = std::max(width, r.name.size());
        const int cells = std::max(10, columns - static_cast<int>(width) - 3);
        const double span = std::max<double>(static_cast<double>(last), 1.0);
        const double cell = span / cells;
        out += printed("Lanes: one column is %.3f ms; . not yet started, # running, z zombie\n", cell / 1e6);
        for (const lane& r : rows) {
            std::string bar;
            for (int c = 0; c < cells; c++)
                bar += mark(r, c * cell, (c + 1) * cell);
            out += r.name + std::string(width - r.name.size(), ' ') + " |" + bar + "|\n";
        }
    }
};

} // namespace

std::string report(int tracer, const std::vector<event>& events, int columns)
{
    reporter r{tracer};
    for (const event& e : events)
        r.take(e);
    std::string out = printed("proctrace: orphans are adopted by proctrace[%d], which reaps them as init would; without it they would go to "
                              "the nearest subreaper, else to PID 1 of the PID namespace, which in a container with no init process may "
                              "never reap them\n\n",
                              tracer);
    r.timeline(out);
    if (!r.root)
        return out;
    out += "\nFamily tree\n";
    const process& top = r.processes[*r.root];
    r.tree(out, top);
    out += '\n';
    r.lanes(out, top, columns);
    return out;
}
