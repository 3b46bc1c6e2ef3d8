// proctrace: every process and thread a program makes, how each ended, and
// who reaped it. It runs the program under ptrace, seizing every task it and
// its descendants make, adopts their orphans as a child subreaper, and once
// all have ended writes a timeline, a family tree and lanes.
#include <fcntl.h>
#include <getopt.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "events.h"
#include "fail.h"
#include "report.h"

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t native_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t native_arch = AUDIT_ARCH_AARCH64;
#else
// cppcheck-suppress preprocessorErrorDirective
#error "proctrace knows the system call architecture of x86-64 and arm64 only"
#endif

// How many bytes of a write the report quotes from: its first line, up to 40.
constexpr std::size_t quoted_bytes = 40;

struct task {
    int pid = 0;
    bool started = false;   // resumed from its first stop
    // The call a seccomp stop reported, awaited at its exit.
    std::uint64_t call = 0;
    std::uint64_t args[4] = {};
};

struct process {
    int parent = 0;
    bool ended = false;   // a zombie from when its exit is collected
    bool reaped = false;
    bool stopped = false;
};

// Everything the tracer knows of the run.
struct trace {
    std::vector<event> events;
    std::map<int, task> tasks;          // by tid
    std::map<int, process> processes;   // by pid
    std::set<int> early;                // tasks whose first stop came before their creator's event
    int root = 0;                       // the process proctrace started
    bool root_started = false;          // whether it has exec'd the program
    int root_status = 0;
    timespec start{};
    // When waitpid returned what is being handled: the time of its events.
    std::int64_t moment = 0;
};

std::int64_t now(const trace& st)
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - st.start.tv_sec) * 1000000000LL + (t.tv_nsec - st.start.tv_nsec);
}

// What the child does before it execs the program is proctrace's own doing
// (a sanitizer's runtime may start a thread there), not the program's.
void record(trace& st, event e)
{
    if (!st.root_started)
        return;
    e.ns = st.moment;
    st.events.push_back(std::move(e));
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The process a task belongs to, and a process's parent, from /proc. A
// name may hold spaces and ')', so the fields are read after the last ')'.
int tgid_of(int tid)
{
    const std::string status = slurp("/proc/" + std::to_string(tid) + "/status");
    const std::size_t at = status.find("\nTgid:");
    return at == std::string::npos ? tid : static_cast<int>(std::strtol(status.c_str() + at + 6, nullptr, 10));
}

int parent_of(int pid)
{
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    // After the name: " STATE PPID ...".
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size())
        return 0;
    return static_cast<int>(std::strtol(stat.c_str() + close + 4, nullptr, 10));
}

std::string name_of(int pid)
{
    std::string comm = slurp("/proc/" + std::to_string(pid) + "/comm");
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return comm;
}

std::vector<std::string> argv_of(int pid)
{
    char exe[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    std::vector<std::string> argv{n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : name_of(pid)};
    const std::string cmdline = slurp("/proc/" + std::to_string(pid) + "/cmdline");
    for (std::size_t at = 0; at < cmdline.size();) {
        const std::size_t end = cmdline.find('\0', at);
        argv.push_back(cmdline.substr(at, end - at));
        at = end == std::string::npos ? cmdline.size() : end + 1;
    }
    return argv;
}

// Up to COUNT bytes of the tracee's memory at ADDR; fewer where it cannot be read.
std::string peek(int tid, std::uint64_t addr, std::size_t count) // NOLINT(bugprone-easily-swappable-parameters): as process_vm_readv has them
{
    std::string bytes(count, '\0');
    iovec local{bytes.data(), count};
    iovec remote{reinterpret_cast<void*>(addr), count}; // NOLINT(performance-no-int-to-ptr): an address in another process
    const ssize_t got = process_vm_readv(tid, &local, 1, &remote, 1, 0);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

// A T in the tracee's memory at ADDR; zeros where it cannot be read.
template <class T>
T peek_as(int tid, std::uint64_t addr)
{
    const std::string bytes = peek(tid, addr, sizeof(T));
    T value{};
    if (bytes.size() == sizeof value)
        std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// What the stopped task's system call is: its number and arguments at a
// seccomp stop, its result at its exit.
bool call_info(int tid, __ptrace_syscall_info& info)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): ptrace takes the buffer's size as its address
    return ptrace(PTRACE_GET_SYSCALL_INFO, tid, reinterpret_cast<void*>(sizeof info), &info) > 0;
}

void resume(int tid, int request, int sig = 0)
{
    // A task killed meanwhile (SIGKILL needs no stop) is reported by waitpid.
    // NOLINTNEXTLINE(performance-no-int-to-ptr): ptrace takes the signal as its data pointer
    static_cast<void>(ptrace(static_cast<__ptrace_request>(request), tid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig))));
}

// A process's exit, collected by waitpid. If proctrace is its parent (the
// program it started, or an orphan it adopted), that collection reaped it.
void process_ended(trace& st, int pid, int status)
{
    process& p = st.processes[pid];
    p.ended = true;
    if (WIFEXITED(status))
        record(st, {.what = happening::exits, .pid = pid, .tid = pid, .code = WEXITSTATUS(status)});
    else
        record(st, {.what = happening::killed, .pid = pid, .tid = pid, .code = WTERMSIG(status), .core = WCOREDUMP(status) != 0});
    if (pid == st.root)
        st.root_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // Its children, running or zombies, have a new parent by now.
    for (auto& [child, c] : st.processes) {
        if (child == pid || c.parent != pid || c.reaped)
            continue;
        const int adopter = parent_of(child);
        if (adopter <= 0 || adopter == pid)
            continue;
        c.parent = adopter;
        record(st, {.what = happening::orphaned, .pid = child, .tid = child, .other = adopter});
    }
    if (p.parent == getpid()) {
        p.reaped = true;
        record(st, {.what = happening::reaped, .pid = pid, .tid = pid, .other = getpid()});
    }
}

void died(trace& st, int tid, int status) // NOLINT(bugprone-easily-swappable-parameters): waitpid's own pair
{
    const auto t = st.tasks.find(tid);
    if (t == st.tasks.end()) {
        // An orphan whose exit was collected while it was traced, and which
        // proctrace, having adopted it, has now reaped.
        const auto p = st.processes.find(tid);
        if (p != st.processes.end() && p->second.ended && !p->second.reaped) {
            p->second.reaped = true;
            record(st, {.what = happening::reaped, .pid = tid, .tid = tid, .other = getpid()});
        }
        return;
    }
    const int pid = t->second.pid;
    st.tasks.erase(t);
    if (tid != pid)
        record(st, {.what = happening::ends, .pid = pid, .tid = tid});
    else
        process_ended(st, pid, status);
}

// A new task, reported by its creator's fork, vfork or clone event.
void created(trace& st, int parent_tid, int tid)
{
    const int parent = st.tasks[parent_tid].pid;
    const int pid = tgid_of(tid);
    st.tasks[tid].pid = pid;
    if (pid == tid) {
        st.processes[tid] = {parent};
        record(st, {.what = happening::forks, .pid = parent, .tid = parent_tid, .other = tid});
    } else {
        record(st, {.what = happening::creates_thread, .pid = pid, .tid = parent_tid, .other = tid});
    }
    if (st.early.erase(tid) != 0) {
        st.tasks[tid].started = true;
        resume(tid, PTRACE_CONT);
    }
}

void execed(trace& st, int tid)
{
    // The task that called exec now has the process's id; a thread other
    // than the first that called it has vanished under its own.
    unsigned long former = 0;
    ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
    const int pid = st.tasks[tid].pid;
    if (static_cast<int>(former) != tid && st.tasks.erase(static_cast<int>(former)) != 0)
        record(st, {.what = happening::ends, .pid = pid, .tid = static_cast<int>(former)});
    const happening what = tid == st.root && !st.root_started ? happening::starts : happening::execs;
    if (what == happening::starts) {
        clock_gettime(CLOCK_MONOTONIC, &st.start);
        st.moment = 0;
        st.root_started = true;
        // Any thread the child had is gone with the exec, and was never shown.
        std::erase_if(st.tasks, [&](const auto& t) { return t.second.pid == pid && t.first != tid; });
    }
    record(st, {.what = what, .pid = pid, .tid = tid, .name = name_of(pid), .argv = argv_of(pid)});
}

// The end of a call the seccomp filter stopped at: a write to standard
// output or error, or a wait that returned a zombie, which reaps it.
void call_returned(trace& st, int tid)
{
    __ptrace_syscall_info info{};
    if (!call_info(tid, info) || info.op != PTRACE_SYSCALL_INFO_EXIT || info.exit.is_error != 0)
        return;
    const task& t = st.tasks[tid];
    const auto result = static_cast<std::int64_t>(info.exit.rval);
    int reaped = 0;
    switch (t.call) {
    case SYS_write:
    case SYS_writev: {
        if ((t.args[0] != 1 && t.args[0] != 2) || result <= 0)
            return;
        std::uint64_t from = t.args[1];
        auto length = static_cast<std::size_t>(result);
        if (t.call == SYS_writev) {
            const auto first = peek_as<iovec>(tid, t.args[1]);
            from = reinterpret_cast<std::uintptr_t>(first.iov_base);
            length = std::min(length, first.iov_len);
        }
        record(st, {.what = happening::writes, .pid = t.pid, .tid = tid, .fd = static_cast<int>(t.args[0]), .bytes = result,
                .text = peek(tid, from, std::min(length, quoted_bytes))});
        return;
    }
    case SYS_wait4:
        reaped = static_cast<int>(result);
        break;
    case SYS_waitid: {
        if ((t.args[3] & WNOWAIT) != 0 || t.args[2] == 0)
            return;
        reaped = peek_as<siginfo_t>(tid, t.args[2]).si_pid;
        break;
    }
    default:
        return;
    }
    // A wait also returns stopped and continued children; only a zombie is reaped.
    const auto p = st.processes.find(reaped);
    if (reaped > 0 && p != st.processes.end() && p->second.ended && !p->second.reaped) {
        p->second.reaped = true;
        record(st, {.what = happening::reaped, .pid = reaped, .tid = reaped, .other = t.pid});
    }
}

bool stopping(int sig)
{
    return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// A stopped process goes on: the first of its tasks to tell of it says so.
void continued(trace& st, int pid)
{
    process& p = st.processes[pid];
    if (p.stopped)
        record(st, {.what = happening::continues, .pid = pid, .tid = pid});
    p.stopped = false;
}

void stopped(trace& st, int tid, int status) // NOLINT(bugprone-easily-swappable-parameters): waitpid's own pair
{
    const auto t = st.tasks.find(tid);
    if (t == st.tasks.end()) {
        // A new task, stopped before its creator's event said what it is.
        st.early.insert(tid);
        return;
    }
    const int sig = WSTOPSIG(status);
    const int what = status >> 16;
    if (!t->second.started) {
        t->second.started = true;
        resume(tid, PTRACE_CONT);
        return;
    }
    process& p = st.processes[t->second.pid];
    switch (what) {
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE: {
        unsigned long child = 0;
        ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child);
        created(st, tid, static_cast<int>(child));
        resume(tid, PTRACE_CONT);
        return;
    }
    case PTRACE_EVENT_EXEC:
        execed(st, tid);
        resume(tid, PTRACE_CONT);
        return;
    case PTRACE_EVENT_SECCOMP: {
        __ptrace_syscall_info info{};
        if (call_info(tid, info) && info.op == PTRACE_SYSCALL_INFO_SECCOMP) {
            t->second.call = info.seccomp.nr;
            std::copy(info.seccomp.args, info.seccomp.args + 4, t->second.args);
        }
        resume(tid, PTRACE_SYSCALL);
        return;
    }
    case PTRACE_EVENT_STOP:
        // A group stop holds the task stopped until SIGCONT, as it would
        // without a tracer; any other such stop is its end.
        if (stopping(sig)) {
            if (!p.stopped)
                record(st, {.what = happening::stopped, .pid = t->second.pid, .tid = t->second.pid, .code = sig});
            p.stopped = true;
            resume(tid, PTRACE_LISTEN);
            return;
        }
        continued(st, t->second.pid);
        resume(tid, PTRACE_CONT);
        return;
    case 0:
        break;
    default:   // the exit event
        resume(tid, PTRACE_CONT);
        return;
    }
    if (sig == (SIGTRAP | 0x80)) {
        call_returned(st, tid);
        resume(tid, PTRACE_CONT);
        return;
    }
    // A signal on its way to the task: passed on as it was sent.
    if (sig == SIGCONT)
        continued(st, t->second.pid);
    resume(tid, PTRACE_CONT, sig);
}

// Only the calls the report needs stop the tracee: writes, and waits.
int filter_calls()
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, native_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_writev, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_wait4, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_waitid, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return errno;
    return 0;
}

// What the child tells the parent when it cannot run the program.
struct child_failure {
    int seccomp;   // 1 when installing the filter failed, 0 when exec did
    int err;
};

[[noreturn]] void run_child(char* argv[], int go, int report_to) // NOLINT(bugprone-easily-swappable-parameters): two pipes' ends
{
    char byte = 0;
    // Wait until the parent has seized this process.
    while (read(go, &byte, 1) < 0 && errno == EINTR) {
    }
    child_failure failure{1, filter_calls()};
    if (failure.err == 0) {
        execvp(argv[0], argv);
        failure = {0, errno};
    }
    static_cast<void>(write(report_to, &failure, sizeof failure));
    _exit(127);
}

int usage()
{
    static_cast<void>(std::fprintf(stderr, "usage: proctrace [-o FILE] PROGRAM [ARGUMENT...]\n"));
    return 2;
}

int write_all(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("write", errno);
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    trace st;
    const char* output = nullptr;
    for (int opt; (opt = getopt(argc, argv, "+o:")) != -1;) { // NOLINT(concurrency-mt-unsafe): no other thread
        if (opt != 'o')
            return usage();
        output = optarg;
    }
    if (optind == argc)
        return usage();
    int out = STDERR_FILENO;
    if (output != nullptr && (out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) < 0)
        return fail("open", errno, output);

    int go[2];
    int failed[2];
    if (pipe2(go, O_CLOEXEC) != 0 || pipe2(failed, O_CLOEXEC) != 0)
        return fail("pipe2", errno);
    // Orphans of the run come to proctrace, not to init.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        return fail("prctl", errno);
    clock_gettime(CLOCK_MONOTONIC, &st.start);
    st.root = fork();
    if (st.root < 0)
        return fail("fork", errno);
    if (st.root == 0) {
        close(go[1]);
        close(failed[0]);
        run_child(argv + optind, go[0], failed[1]);
    }
    close(go[0]);
    close(failed[1]);
    constexpr long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                             PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): ptrace takes the options as its data pointer
    if (ptrace(PTRACE_SEIZE, st.root, nullptr, reinterpret_cast<void*>(options)) != 0) {
        const int err = errno;
        kill(st.root, SIGKILL);
        waitpid(st.root, nullptr, 0);
        fail("ptrace", err);
        static_cast<void>(std::fprintf(stderr, "proctrace: tracing is not allowed here: a container's seccomp profile, or "
                                               "kernel.yama.ptrace_scope, usually forbids it\n"));
        return 1;
    }
    st.tasks[st.root] = {st.root, true};
    st.processes[st.root] = {getpid()};
    close(go[1]);
    // Like time(1): Ctrl-C and Ctrl-\ are for the program, and the report still comes.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGINT, &ignore, nullptr) != 0 || sigaction(SIGQUIT, &ignore, nullptr) != 0)
        return fail("sigaction", errno);

    for (;;) {
        int status = 0;
        const int tid = waitpid(-1, &status, __WALL);
        if (tid < 0 && errno == EINTR)
            continue;
        if (tid < 0 && errno == ECHILD)
            break;
        if (tid < 0)
            return fail("waitpid", errno);
        st.moment = now(st);
        if (WIFSTOPPED(status))
            stopped(st, tid, status);
        else
            died(st, tid, status);
    }

    child_failure failure{};
    if (read(failed[0], &failure, sizeof failure) == static_cast<ssize_t>(sizeof failure)) {
        if (failure.seccomp != 0)
            return fail("seccomp", failure.err);
        fail(argv[optind], failure.err);
        return failure.err == ENOENT ? 127 : 126;
    }
    winsize size{};
    const int columns = out == STDERR_FILENO && isatty(out) && ioctl(out, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    const int status = write_all(out, report(getpid(), st.events, columns));
    if (status != 0)
        return status;
    if (out != STDERR_FILENO && close(out) != 0)
        return fail("close", errno);
    return st.root_status;
}
