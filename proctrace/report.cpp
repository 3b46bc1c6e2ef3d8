// The report's rules: how events become lines. Writes of one task to one
// stream, with no other event of that task between them, make one line; a
// process is a zombie from its exit to the wait that returns it; the
// started program's reaping is where a shell would print its prompt.
#include "report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

struct process {
    int parent = 0;
    std::string name{};
    std::vector<std::string> programs{};
    std::int64_t born = 0;
    std::int64_t ended = -1;
    std::int64_t reaped = -1;
    std::string how{};       // how it ended
    std::string reaper{};
    bool adopted = false;
    std::vector<int> threads{};   // other than its first, by tid
    std::vector<int> children{};
};

struct thread {
    std::int64_t born = 0;
    std::int64_t ended = -1;
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
    const std::size_t end = std::min({newline == std::string::npos ? bytes.size() : newline + 1, bytes.size(), std::size_t{40}});
    std::string shown(1, '"');
    shown += escaped(bytes.substr(0, end), "\"\\");
    return shown += '"';
}

struct reporter {
    int tracer;
    std::map<int, process> processes{};
    std::map<int, thread> threads{};
    std::vector<line> lines{};
    std::map<int, std::size_t> writing{};   // a task's run of writes still open: its line
    int root = 0;
    std::int64_t last = 0;

    std::string label(int pid, int tid = 0)
    {
        if (pid == tracer)
            return printed("proctrace[%d]", pid);
        const std::string name = escaped(processes[pid].name);
        return tid == 0 || tid == pid ? printed("%s[%d]", name.c_str(), pid) : printed("%s[%d/%d]", name.c_str(), pid, tid);
    }

    void add(const event& e, const std::string& text)
    {
        lines.push_back({e.ns, label(e.pid, e.tid), text});
    }

    void write(const event& e)
    {
        const auto open = writing.find(e.tid);
        if (open != writing.end() && lines[open->second].fd == e.fd) {
            lines[open->second].bytes += e.bytes;
            lines[open->second].calls++;
            return;
        }
        writing[e.tid] = lines.size();
        lines.push_back({e.ns, label(e.pid, e.tid), "", e.fd, e.bytes, 1, e.text});
    }

    // Processes started and not yet ended.
    std::string running()
    {
        std::string names;
        for (const auto& [pid, p] : processes) {
            if (p.ended < 0)
                names += (names.empty() ? "" : ", ") + label(pid);
        }
        return names;
    }

    void take(const event& e)
    {
        last = std::max(last, e.ns);
        if (e.what != happening::writes)
            writing.erase(e.tid);
        process& p = processes[e.pid];
        switch (e.what) {
        case happening::starts:
            root = e.pid;
            p = {tracer, e.name, {e.name}, e.ns};
            add(e, "starts " + command(e));
            break;
        case happening::forks:
            processes[e.other] = {e.pid, p.name, {p.name}, e.ns};
            p.children.push_back(e.other);
            add(e, "forks " + label(e.other));
            break;
        case happening::creates_thread:
            threads[e.other] = {e.ns};
            p.threads.push_back(e.other);
            add(e, "creates thread " + label(e.pid, e.other));
            break;
        case happening::execs:
            add(e, "execs " + command(e));
            p.name = e.name;
            p.programs.push_back(e.name);
            break;
        case happening::writes:
            write(e);
            break;
        case happening::exits:
            p.ended = e.ns;
            p.how = printed("exited with status %d", e.code);
            add(e, printed("exits with status %d", e.code));
            break;
        case happening::killed: {
            const std::string signal = signal_name(e.code) + (e.core ? " (core dumped)" : "");
            p.ended = e.ns;
            p.how = "was killed by " + signal;
            add(e, "is killed by " + signal);
            break;
        }
        case happening::ends:
            threads[e.tid].ended = e.ns;
            add(e, "ends");
            break;
        case happening::stopped:
            add(e, "is stopped by " + signal_name(e.code));
            break;
        case happening::continues:
            add(e, "continues");
            break;
        case happening::orphaned:
            add(e, "is orphaned: its parent " + label(p.parent) + " has exited; adopted by " + label(e.other));
            p.parent = e.other;
            p.adopted = true;
            break;
        case happening::reaped:
            p.reaped = e.ns;
            p.reaper = label(e.other);
            add(e, "is reaped by " + label(e.other) + " after " + ms(e.ns - std::max<std::int64_t>(p.ended, 0)) + " as a zombie");
            if (e.pid == root) {
                const std::string still = running();
                lines.push_back({e.ns, "", "(a shell would print its next prompt now; " +
                                               (still.empty() ? std::string("nothing it started is still running)")
                                                              : "still running: " + still + ")")});
            }
            break;
        }
    }

    std::string timeline()
    {
        std::string out = "Timeline\n";
        for (const line& l : lines) {
            std::string text = l.text;
            if (l.calls > 0) {
                const char* stream = l.fd == 1 ? "standard output" : "standard error";
                text = l.calls == 1 ? printed("writes %lld bytes to %s: ", static_cast<long long>(l.bytes), stream)
                                    : printed("writes %lld bytes in %d calls to %s: ", static_cast<long long>(l.bytes), l.calls, stream);
                text += quoted(l.first);
            }
            out += printed("%10.3f ms  ", static_cast<double>(l.ns) / 1e6) + (l.task.empty() ? "" : l.task + "  ") + text + "\n";
        }
        return out;
    }

    // The line of process pid, which OUT has begun, and those below it, each begun with INDENT.
    void tree(std::string& out, int pid, const std::string& indent)
    {
        process& p = processes[pid];
        std::string programs;
        for (const std::string& name : p.programs)
            programs += (programs.empty() ? "" : " → ") + name;
        out += label(pid) + ": " + programs;
        if (p.ended < 0) {
            out += ", still running at the end\n";
        } else {
            out += ", " + p.how + " after " + ms(p.ended - p.born);
            if (p.reaped >= 0)
                out += ", a zombie for " + ms(p.reaped - p.ended) + ", reaped by " + p.reaper;
            out += p.adopted ? " (adopted)\n" : "\n";
        }
        std::vector<std::string> below;
        for (const int tid : p.threads) {
            const thread& t = threads[tid];
            below.push_back("thread " + label(pid, tid) +
                            (t.ended < 0 ? ": still running at the end" : ": ran " + ms(t.ended - t.born)));
        }
        const std::size_t count = below.size() + p.children.size();
        for (std::size_t i = 0; i < count; i++) {
            const bool final = i + 1 == count;
            out += indent + (final ? "└─ " : "├─ ");
            if (i < below.size())
                out += below[i] + "\n";
            else
                tree(out, p.children[i - below.size()], indent + (final ? "   " : "│  "));
        }
    }

    // A row a task, its process's threads below it, then its children.
    std::string lanes(int columns)
    {
        std::vector<lane> rows;
        std::size_t width = 0;
        auto add_rows = [&](auto& self, int pid) -> void {
            const process& p = processes[pid];
            rows.push_back({label(pid), p.born, p.ended < 0 ? last : p.ended, p.reaped < 0 ? (p.ended < 0 ? last : p.ended) : p.reaped});
            for (const int tid : p.threads) {
                const thread& t = threads[tid];
                rows.push_back({label(pid, tid), t.born, t.ended < 0 ? last : t.ended, t.ended < 0 ? last : t.ended});
            }
            for (const int child : p.children)
                self(self, child);
        };
        add_rows(add_rows, root);
        for (const lane& r : rows)
            width = std::max(width, r.name.size());
        const int cells = std::max(10, columns - static_cast<int>(width) - 3);
        const double span = std::max<double>(static_cast<double>(last), 1.0);
        const double cell = span / cells;
        std::string out = printed("Lanes: one column is %.3f ms; . not yet started, # running, z zombie\n", cell / 1e6);
        for (const lane& r : rows) {
            std::string bar;
            for (int c = 0; c < cells; c++)
                bar += mark(r, c * cell, (c + 1) * cell);
            out += r.name + std::string(width - r.name.size(), ' ') + " |" + bar + "|\n";
        }
        return out;
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
    out += r.timeline();
    if (r.root == 0)
        return out;
    out += "\nFamily tree\n";
    r.tree(out, r.root, "");
    out += '\n';
    out += r.lanes(columns);
    return out;
}
