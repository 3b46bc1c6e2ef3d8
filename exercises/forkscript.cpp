// forkscript: runs a script of forks, exits, waits, prints and execs for
// real, one action at a time in the order written, so that every run takes
// the same path and shows what the kernel does with zombies and orphans.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <string>
#include <vector>

#include "fail.h"
#include "script.h"

namespace {

// What a process tells forkscript once it has done an action. It is far
// smaller than PIPE_BUF, so reports written side by side never interleave.
struct report {
    int step = 0;
    int who = 0;
    pid_t pid = 0;    // forks: the child; waits: what the wait returned
    int status = 0;   // waits: the status it returned
    int err = 0;      // the call's error number, or 0
};

struct run {
    outcome o;
    script s;
    std::vector<std::array<int, 2>> orders{};   // a pipe per process, on which it is told its steps
    std::array<int, 2> reports{-1, -1};
    std::vector<pid_t> pids{};
    std::vector<int> pidfds{};                  // to see a process end, child of forkscript or not
};

// The script's processes not yet reaped, by pid, for a signal that ends
// the run to end them too: shared with the handler, so lock-free atomics.
std::unique_ptr<std::atomic<pid_t>[]> unreaped;   // NOLINT(cppcoreguidelines-avoid-c-arrays): sized at the start
std::size_t processes = 0;

// Ends what the run made, which would otherwise go on without forkscript
// (a program it ran, a zombie left to init), then ends as SIG asks.
extern "C" void end_run(int sig)
{
    for (std::size_t i = 0; i < processes; i++) {
        const pid_t pid = unreaped[i].load();
        if (pid > 0)
            kill(pid, SIGKILL);
    }
    // What they adopted comes to forkscript: a second at most, to reap it all.
    for (int tries = 0; tries < 100; tries++) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD)
            break;
        const timespec pause{0, 10000000};
        nanosleep(&pause, nullptr);
    }
    static_cast<void>(signal(sig, SIG_DFL));
    static_cast<void>(raise(sig));
}

// One process of the script, WHO, until forkscript closes the pipes: it does
// each step it is told, then says so. It never returns.
[[noreturn]] void serve(const run& r, int who)
{
    std::vector<pid_t> children(r.pids.size(), 0);
    for (;;) {
        int step = 0;
        const ssize_t got = read(r.orders[static_cast<std::size_t>(who)][0], &step, sizeof step);
        if (got == 0)
            _exit(0);   // forkscript has ended the run
        if (got != sizeof step)
            _exit(fail("read", errno));
        const action& a = r.o.steps[static_cast<std::size_t>(step)];
        report rep{.step = step, .who = who};
        if (a.kind == action::forks) {
            rep.pid = fork();
            if (rep.pid == 0) {
                who = a.other;
                children.assign(children.size(), 0);
                continue;
            }
            children[static_cast<std::size_t>(a.other)] = rep.pid;
        } else if (a.kind == action::prints) {
            const std::string line = a.words.front() + "\n";
            if (write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                rep.pid = -1;
        } else if (a.kind == action::waits) {
            rep.pid = waitpid(a.other == controller ? -1 : children[static_cast<std::size_t>(a.other)], &rep.status, 0);
        } else if (a.kind == action::exits) {
            _exit(a.status);
        } else {
            // A program run by the script gets SIGPIPE's usual action back.
            static_cast<void>(signal(SIGPIPE, SIG_DFL));
            std::vector<char*> argv(a.words.size() + 1, nullptr);
            std::transform(a.words.begin(), a.words.end(), argv.begin(), [](const std::string& w) {
                return const_cast<char*>(w.c_str());   // NOLINT(cppcoreguidelines-pro-type-const-cast): execvp's old signature
            });
            execvp(argv[0], argv.data());
            fail((r.s.names[static_cast<std::size_t>(who)] + ": cannot run").c_str(), errno, argv[0]);
            _exit(127);
        }
        rep.err = rep.pid == -1 ? errno : 0;
        if (write(r.reports[1], &rep, sizeof rep) != sizeof rep)
            _exit(fail("write", errno));
    }
}

// The action at STEP, as the script writes it, for the messages.
std::string told(const run& r, int step)
{
    const action& a = r.o.steps[static_cast<std::size_t>(step)];
    std::string words = written({.names = r.s.names, .actions = {a}});
    words.pop_back();
    return a.line == 0 ? words + " (as the run closes)" : "line " + std::to_string(a.line) + " (" + words + ")";
}

std::string label(const run& r, int who)
{
    return name_of(r.s, who) + "[" + std::to_string(r.pids[static_cast<std::size_t>(who)]) + "]";
}

// Says loudly that the kernel did not do what the rules say, and returns 1.
int disagree(const run& r, int step, const std::string& rules, const std::string& kernel)
{
    static_cast<void>(std::fprintf(stderr, "forkscript: THE KERNEL DISAGREES WITH THE RULES at %s: the rules say %s, but %s\n",
                 told(r, step).c_str(), rules.c_str(), kernel.c_str()));
    return 1;
}

// strerror_r, as fail uses, for a reason inside a longer message.
std::string reason(int err)
{
    std::array<char, 256> buf{};
    return strerror_r(err, buf.data(), buf.size());
}

std::string status_of(int status)
{
    if (WIFEXITED(status))
        return "status " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WTERMSIG(status));
}

// Whether STATUS, as a wait returned it, is the one the rules give WHO.
bool as_exited(const run& r, int who, int status)   // NOLINT(bugprone-easily-swappable-parameters): a process, then a wait's status
{
    const auto f = std::find_if(r.o.facts.begin(), r.o.facts.end(), [who](const fact& e) { return e.kind == fact::exits && e.who == who; });
    return f != r.o.facts.end() && (f->status == program_status || (WIFEXITED(status) && WEXITSTATUS(status) == f->status));
}

// Says that WHO ended with STEP undone. No action of a script ends a
// process that way: a signal from outside the run did, or a crash.
int ended(const run& r, int step, int who)
{
    static_cast<void>(std::fprintf(stderr, "forkscript: %s: %s ended before it was done, so the run cannot go on as written\n",
                                   told(r, step).c_str(), label(r, who).c_str()));
    return 1;
}

// Waits until WHO has ended: it need not be forkscript's child.
int await_end(const run& r, int who)
{
    pollfd end{.fd = r.pidfds[static_cast<std::size_t>(who)], .events = POLLIN, .revents = 0};
    while (poll(&end, 1, -1) == -1) {
        if (errno != EINTR)
            return fail("poll", errno);
    }
    return 0;
}

// Reads the report of WHO, who the rules say acts at STEP; a process that
// ends instead of reporting ends the wait too.
int await_report(run& r, int step, int who, report& rep)
{
    std::array<pollfd, 2> fds{{{.fd = r.reports[0], .events = POLLIN, .revents = 0},
                               {.fd = r.pidfds[static_cast<std::size_t>(who)], .events = POLLIN, .revents = 0}}};
    if (poll(fds.data(), fds.size(), -1) == -1)
        return errno == EINTR ? await_report(r, step, who, rep) : fail("poll", errno);
    if (fds[0].revents == 0)
        return ended(r, step, who);
    const ssize_t got = read(r.reports[0], &rep, sizeof rep);
    if (got != sizeof rep)
        return got == -1 ? fail("read", errno) : ended(r, step, who);
    if (rep.who != who)
        return disagree(r, step, "only " + name_of(r.s, who) + " is done with a call now", name_of(r.s, rep.who) + " returned from one");
    if (rep.err != 0)
        return fail((told(r, rep.step) + ": " + name_of(r.s, who) + " could not do it").c_str(), rep.err);
    return 0;
}

// Checks that what the rules say STEP does, the kernel does.
int check(run& r, int step)
{
    const action& a = r.o.steps[static_cast<std::size_t>(step)];
    if (a.kind == action::exits || a.kind == action::execs) {
        if (await_end(r, a.who) != 0)
            return 1;
    }
    for (const fact& f : r.o.facts) {
        if (f.step != step)
            continue;
        report rep{};
        if (f.kind == fact::forks || f.kind == fact::prints) {
            if (await_report(r, step, f.who, rep) != 0)
                return 1;
            if (f.kind == fact::forks) {
                r.pids[static_cast<std::size_t>(f.other)] = rep.pid;
                unreaped[static_cast<std::size_t>(f.other)] = rep.pid;
                r.pidfds[static_cast<std::size_t>(f.other)] = static_cast<int>(syscall(SYS_pidfd_open, rep.pid, 0));
                if (r.pidfds[static_cast<std::size_t>(f.other)] == -1)
                    return fail("pidfd_open", errno);
            }
        } else if (f.kind == fact::reaped && f.other == controller) {
            // forkscript's own wait: for a, its child, and for what it adopted.
            rep.pid = waitpid(r.pids[static_cast<std::size_t>(f.who)], &rep.status, 0);
            if (rep.pid == -1)
                return disagree(r, step, "forkscript reaps " + name_of(r.s, f.who), "its wait for " + label(r, f.who) + " failed: " + reason(errno));
        } else if (f.kind == fact::reaped) {
            if (await_report(r, step, f.other, rep) != 0)
                return 1;
        } else {
            continue;
        }
        // A signal may end a program the script ran, but nothing else.
        if (f.kind == fact::reaped && rep.pid == r.pids[static_cast<std::size_t>(f.who)] && WIFSIGNALED(rep.status) &&
            !as_exited(r, f.who, rep.status)) {
            static_cast<void>(std::fprintf(stderr, "forkscript: %s: %s was killed by signal %d, which no action of the script sends\n",
                                           told(r, step).c_str(), label(r, f.who).c_str(), WTERMSIG(rep.status)));
            return 1;
        }
        if (f.kind == fact::reaped && (rep.pid != r.pids[static_cast<std::size_t>(f.who)] || !as_exited(r, f.who, rep.status)))
            return disagree(r, step, name_of(r.s, f.other) + " reaps " + name_of(r.s, f.who),
                            "its wait returned pid " + std::to_string(rep.pid) + " with " + status_of(rep.status));
        if (f.kind == fact::reaped)
            unreaped[static_cast<std::size_t>(f.who)] = 0;
    }
    return 0;
}

int play_for_real(run& r)
{
    for (std::size_t step = 0; step < r.o.steps.size(); step++) {
        const int who = r.o.steps[step].who;
        const int n = static_cast<int>(step);
        if (write(r.orders[static_cast<std::size_t>(who)][1], &n, sizeof n) != sizeof n)
            return fail("write", errno);
        if (check(r, n) != 0)
            return 1;
    }
    return 0;
}

// The script the command line gives, or the line that says why there is none.
std::variant<script, refusal> script_of(int argc, char** argv)
{
    if (argc == 2 && argv[1][0] != '-')
        return read_script(argv[1]);
    if (argc == 2 && std::string(argv[1]) == "--help")
        return refusal{-1, "usage: forkscript SCRIPT | forkscript -f FILE"};
    if (argc != 3 || std::string(argv[1]) != "-f")
        return refusal{0, "usage: forkscript SCRIPT | forkscript -f FILE"};
    const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    std::string text;
    ssize_t got = -1;
    if (fd != -1) {
        std::array<char, 4096> buf{};
        while ((got = read(fd, buf.data(), buf.size())) > 0)
            text.append(buf.data(), static_cast<std::size_t>(got));
    }
    const int err = errno;
    if (fd != -1)
        close(fd);
    if (got < 0)
        return refusal{0, std::string("forkscript: cannot read ") + argv[2] + ": " + reason(err)};
    return read_script(text);
}

} // namespace

int main(int argc, char** argv)
{
    const std::variant<script, refusal> given = script_of(argc, argv);
    const std::variant<outcome, refusal> played = std::holds_alternative<script>(given) ? play(std::get<script>(given)) : std::get<refusal>(given);
    if (const refusal* no = std::get_if<refusal>(&played)) {
        if (no->line < 0) {
            std::printf("%s\n", no->why.c_str());
            return flush_output();
        }
        if (no->line == 0)
            static_cast<void>(std::fprintf(stderr, "%s\n", no->why.c_str()));
        else
            static_cast<void>(std::fprintf(stderr, "forkscript: line %d: %s\n", no->line, no->why.c_str()));
        return 2;
    }
    run r{.o = std::get<outcome>(played), .s = std::get<script>(given)};
    const std::size_t n = r.s.names.size();
    r.pids.assign(n, 0);
    r.pidfds.assign(n, -1);
    r.orders.resize(n);
    for (auto& order : r.orders) {
        if (pipe2(order.data(), O_CLOEXEC) == -1)
            return fail("pipe2", errno);
    }
    if (pipe2(r.reports.data(), O_CLOEXEC) == -1)
        return fail("pipe2", errno);
    // The rules are those of a process that does not ignore SIGCHLD: one
    // that did (and a program may start forkscript so) would have its
    // children reaped by the kernel the moment they exit, with no zombie
    // and nothing for a wait to return.
    if (signal(SIGCHLD, SIG_DFL) == SIG_ERR)
        return fail("signal", errno);
    // Orphans of the run come to forkscript rather than to init, so that
    // the run shows who adopts them and reaps them at once.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
        return fail("prctl", errno);
    std::printf("forkscript[%d] is the run's subreaper: it adopts the script's orphans and reaps them at once, as init does\n", getpid());
    if (flush_output() != 0)
        return 1;
    unreaped = std::make_unique<std::atomic<pid_t>[]>(n);   // NOLINT(cppcoreguidelines-avoid-c-arrays): as declared
    processes = n;
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        struct sigaction ending {};
        ending.sa_handler = end_run;
        sigfillset(&ending.sa_mask);
        if (sigaction(sig, &ending, nullptr) == -1)
            return fail("sigaction", errno);
    }
    r.pids[0] = fork();
    if (r.pids[0] == -1)
        return fail("fork", errno);
    unreaped[0] = r.pids[0];
    if (r.pids[0] == 0) {
        // A print to a pipe no one reads fails with EPIPE, and is reported,
        // rather than killing the process with the step undone. The ending
        // signals do to the script's processes what they usually do.
        if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
            _exit(fail("signal", errno));
        for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
            static_cast<void>(signal(sig, SIG_DFL));
        for (const auto& order : r.orders)
            close(order[1]);
        close(r.reports[0]);
        serve(r, 0);
    }
    close(r.reports[1]);
    r.pidfds[0] = static_cast<int>(syscall(SYS_pidfd_open, r.pids[0], 0));
    int status = r.pidfds[0] == -1 ? fail("pidfd_open", errno) : play_for_real(r);
    // Ends what is left, should anything have gone wrong: a process told of
    // no more steps exits, and forkscript reaps what the run leaves it,
    // which includes whatever a program the script ran left running.
    for (const auto& order : r.orders)
        close(order[1]);
    pid_t left = 0;
    while ((left = waitpid(-1, nullptr, WNOHANG)) > 0) {
    }
    if (left == 0)
        static_cast<void>(std::fprintf(stderr, "forkscript: waiting for what the script's programs left running to end\n"));
    while (wait(nullptr) != -1 || errno == EINTR) {
    }
    report extra{};
    if (status == 0 && read(r.reports[0], &extra, sizeof extra) > 0)
        status = disagree(r, extra.step, name_of(r.s, extra.who) + " is still inside its wait", "it returned from it");
    if (status != 0)
        return status;
    std::printf("the script's processes:");
    for (std::size_t who = 0; who < n; who++)
        std::printf(" %s", label(r, static_cast<int>(who)).c_str());
    std::printf("\n");
    return flush_output();
}
