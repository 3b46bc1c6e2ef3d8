// proctrace: every process and thread a program makes, how each ended, and
// who reaped it. It runs the program under ptrace, seizing every task it and
// its descendants make, adopts their orphans as a child subreaper, and once
// all have ended writes a timeline, a family tree and lanes.
#include <fcntl.h>
#include <getopt.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
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

constexpr std::int64_t second = 1000000000;

struct task {
    int pid = 0;
    bool started = false;   // resumed from its first stop
    std::int64_t exiting_at = -1;   // the moment of its exit event, if it had one
    // The call a seccomp stop reported, until its exit stop.
    bool in_call = false;
    std::uint64_t call = 0;
    std::uint64_t args[6] = {};
};

struct process {
    int parent = 0;
    std::vector<int> children{};   // forked or adopted; some may have moved on since
    bool ended = false;   // a zombie from when its exit is collected
    bool reaped = false;
    bool stopped = false;
    // Gone from /proc the moment its exit was collected, by its parent's
    // wait or by the kernel: which, the parent's next wait tells.
    bool gone = false;
    std::int64_t ended_at = 0;
    // When the last of its tasks began to exit: before its death can be
    // collected, a vfork parent or a joiner may already have gone on.
    std::int64_t last_exit = -1;
    // Seen with another parent, or reaped, before its parent's exit had
    // been collected: told once that exit is, so that events keep their order.
    int adopter = 0;
    int reaper = 0;
    std::int64_t reaped_at = -1;   // when the reaper's wait returned it, told with the adoption
    int waiting = 0;   // its tasks inside a wait call
};

// Where a task came from, when its creator could not say.
struct creator {
    int pid;
    int tid;
};

// Everything the tracer knows of the run.
struct trace {
    std::vector<event> events;
    std::map<int, task> tasks;          // by tid
    std::map<int, process> processes;   // by pid
    std::map<int, std::size_t> announced;   // a task met before its creator's event: that event
    std::deque<creator> lost;           // killed inside fork or clone, their new task unknown
    int self = 0;                       // proctrace's own pid
    int root = 0;                       // the process proctrace started
    bool root_started = false;          // whether it has exec'd the program
    int root_status = 0;
    timespec start{};
    // When the wait returned what is being handled: the time of its events.
    std::int64_t moment = 0;
    // When a signal that proctrace also handles last reached the program,
    // and when the terminal last asked proctrace to stop.
    std::map<int, std::int64_t> delivered;
    std::int64_t stop_asked = -1;
    bool stop_due = false;
};

std::int64_t now(const trace& st)
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - st.start.tv_sec) * second + (t.tv_nsec - st.start.tv_nsec);
}

// What the child does before it execs the program is proctrace's own doing
// (a sanitizer's runtime may start a thread there), not the program's.
// Returns where the event went.
std::size_t record(trace& st, event e)
{
    if (!st.root_started)
        return 0;
    e.ns = st.moment;
    st.events.push_back(std::move(e));
    return st.events.size() - 1;
}

// An event learnt late, put where its time says it happened.
void record_at(trace& st, event e, std::int64_t ns)
{
    if (!st.root_started)
        return;
    e.ns = ns;
    const auto at = std::upper_bound(st.events.begin(), st.events.end(), ns, [](std::int64_t t, const event& x) { return t < x.ns; });
    const auto index = static_cast<std::size_t>(at - st.events.begin());
    for (auto& [tid, where] : st.announced)
        where += where >= index ? 1 : 0;
    st.events.insert(at, std::move(e));
}

// A /proc file's text; what could be read of it, should the task vanish
// meanwhile (a read then fails with ESRCH, which iostreams would throw).
std::string slurp(const std::string& path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
        text.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    close(fd);
    return text;
}

std::string proc(int pid, const char* file)
{
    return "/proc/" + std::to_string(pid) + "/" + file;
}

// A field of /proc/PID/status, such as "Tgid" or "SigIgn", as its text.
std::string status_field(int pid, const char* field)
{
    const std::string status = slurp(proc(pid, "status"));
    const std::string key = std::string("\n") + field + ":";
    const std::size_t at = status.find(key);
    if (at == std::string::npos)
        return "";
    const std::size_t from = status.find_first_not_of(" \t", at + key.size());
    return status.substr(from, status.find('\n', from) - from);
}

int tgid_of(int tid)
{
    const std::string tgid = status_field(tid, "Tgid");
    return tgid.empty() ? tid : static_cast<int>(std::strtol(tgid.c_str(), nullptr, 10));
}

// A process's state letter and parent, from /proc; 0 for a process that
// has gone. A name may hold spaces and ')', so the fields are read after
// the last ')': " STATE PPID ...".
struct stat_line {
    char state = 0;
    int parent = 0;
};

stat_line stat_of(int pid)
{
    const std::string stat = slurp(proc(pid, "stat"));
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size())
        return {};
    return {stat[close + 2], static_cast<int>(std::strtol(stat.c_str() + close + 4, nullptr, 10))};
}

std::string name_of(int pid)
{
    std::string comm = slurp(proc(pid, "comm"));
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return comm;
}

std::string link_of(const std::string& path)
{
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

std::vector<std::string> argv_of(int pid)
{
    const std::string exe = link_of(proc(pid, "exe"));
    std::vector<std::string> argv{exe.empty() ? name_of(pid) : exe};
    const std::string cmdline = slurp(proc(pid, "cmdline"));
    for (std::size_t at = 0; at < cmdline.size();) {
        const std::size_t end = cmdline.find('\0', at);
        argv.push_back(cmdline.substr(at, end - at));
        at = end == std::string::npos ? cmdline.size() : end + 1;
    }
    return argv;
}

// Whether SIGNAL is in the mask that a /proc status field shows in hex.
bool in_mask(const std::string& hex, int signal)
{
    return !hex.empty() && ((std::strtoull(hex.c_str(), nullptr, 16) >> (signal - 1)) & 1U) != 0;
}

// The privileges the program file asks for that the process did not get:
// ptrace, and the no-new-privileges flag its seccomp filter needs, withhold them.
int lost_privileges(int pid)
{
    const std::string exe = proc(pid, "exe");
    struct stat file {};
    if (stat(exe.c_str(), &file) != 0)
        return 0;
    // "Uid:" and "Gid:" give the real id, then the effective one.
    const auto effective = [&](const char* field) {
        const std::string ids = status_field(pid, field);
        const std::size_t gap = ids.find_first_of(" \t");
        return gap == std::string::npos ? 0U : static_cast<unsigned>(std::strtoul(ids.c_str() + gap, nullptr, 10));
    };
    int lost = 0;
    if ((file.st_mode & S_ISUID) != 0 && file.st_uid != effective("Uid"))
        lost |= lost_set_user_id;
    // Without group execute permission the bit means mandatory locking.
    if ((file.st_mode & S_ISGID) != 0 && (file.st_mode & S_IXGRP) != 0 && file.st_gid != effective("Gid"))
        lost |= lost_set_group_id;
    if (getxattr(exe.c_str(), "security.capability", nullptr, 0) > 0 && status_field(pid, "CapEff").find_first_not_of('0') == std::string::npos)
        lost |= lost_capabilities;
    return lost;
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

bool creates(std::uint64_t call)
{
    switch (call) {
#ifdef SYS_fork
    case SYS_fork:
    case SYS_vfork:
#endif
    case SYS_clone:
    case SYS_clone3:
        return true;
    default:
        return false;
    }
}

bool waits(std::uint64_t call)
{
    return call == SYS_wait4 || call == SYS_waitid;
}

// A new process, met at its creation, or met before its creator's event.
void born(trace& st, int pid, int parent)
{
    st.processes[pid] = {parent};
    const auto p = st.processes.find(parent);
    if (p != st.processes.end() && parent != pid)
        p->second.children.push_back(pid);
}

bool parent_ended(const trace& st, const process& c)
{
    if (c.parent == st.self)
        return false;
    const auto p = st.processes.find(c.parent);
    return p == st.processes.end() || p->second.ended;
}

// BY's wait returned PID: now, or at AT, when that was learnt only later.
void reap(trace& st, int pid, int by, std::int64_t at = -1)   // NOLINT(bugprone-easily-swappable-parameters): the reaped, then its reaper
{
    st.processes[pid].reaped = true;
    const event e{.what = happening::reaped, .pid = pid, .tid = pid, .other = by};
    if (at >= 0)
        record_at(st, e, at);
    else
        record(st, e);
}

// Released by the kernel the moment its exit was collected, as its parent asked.
void kernel_reaped(trace& st, int pid, int why)
{
    process& p = st.processes[pid];
    p.reaped = true;
    p.gone = false;
    record_at(st, {.what = happening::reaped, .pid = pid, .tid = pid, .code = why}, p.ended_at);
}

// CHILD's parent has exited, and ADOPTER has it now; a reaping seen before
// that exit was collected comes after it. The exit itself handed it on, so
// it is told at the exit's moment, before anything that came after it.
void adopt(trace& st, int child, int adopter)
{
    process& c = st.processes[child];
    const auto parent = st.processes.find(c.parent);
    const bool told = parent != st.processes.end() && parent->second.ended && parent->second.last_exit >= 0;
    c.parent = adopter;
    c.adopter = 0;
    record_at(st, {.what = happening::orphaned, .pid = child, .tid = child, .other = adopter}, told ? parent->second.last_exit : st.moment);
    const auto a = st.processes.find(adopter);
    if (a != st.processes.end())
        a->second.children.push_back(child);
    if (c.reaper != 0 && !c.reaped)
        reap(st, child, c.reaper, c.reaped_at);
}

// BY's wait (or proctrace's own, as the adopter) returned the zombie PID.
void reaping(trace& st, int pid, int by)
{
    process& c = st.processes[pid];
    if (c.reaped)
        return;
    c.gone = false;
    if (c.parent == by) {
        reap(st, pid, by);
        return;
    }
    // Only a parent reaps: BY adopted it when its parent exited, which is
    // told once that exit is collected; the wait returned it now.
    c.reaper = by;
    c.reaped_at = st.moment;
    if (parent_ended(st, c))
        adopt(st, pid, by);
    else
        c.adopter = by;
}

// PID's exit, collected by waitpid. ACTUAL is the parent it had just
// before, and THERE whether it is still a zombie after.
void process_ended(trace& st, int pid, int status, int actual, bool there) // NOLINT(bugprone-easily-swappable-parameters): waitpid's pair, then /proc's
{
    process& p = st.processes[pid];
    p.ended = true;
    p.ended_at = st.moment;
    if (WIFEXITED(status))
        record_at(st, {.what = happening::exits, .pid = pid, .tid = pid, .code = WEXITSTATUS(status), .zombie_ns = st.moment}, p.last_exit);
    else
        record_at(st, {.what = happening::killed, .pid = pid, .tid = pid, .code = WTERMSIG(status), .core = WCOREDUMP(status) != 0, .zombie_ns = st.moment},
                  p.last_exit);
    if (pid == st.root)
        st.root_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // Its children, running or zombies, have a new parent by now.
    std::vector<int> children;
    children.swap(p.children);
    for (const int child : children) {
        const process& c = st.processes[child];
        if (c.parent != pid || c.reaped)
            continue;
        if (c.gone) {
            // Gone while this process lived, and no wait of its returned it.
            kernel_reaped(st, child, parent_asks_not_to_wait);
            continue;
        }
        const int adopter = c.adopter != 0 ? c.adopter : stat_of(child).parent;
        if (adopter > 0 && adopter != pid)
            adopt(st, child, adopter);
    }
    if (actual == st.self) {
        // proctrace is its parent, so its own collection reaped it.
        reaping(st, pid, st.self);
        return;
    }
    if (actual <= 0)
        return;
    if (actual != p.parent) {
        p.adopter = actual;
        if (parent_ended(st, p))
            adopt(st, pid, actual);
    }
    if (there)
        return;
    // Its parent exited between the look and the collection: proctrace
    // adopted it, and collecting it reaped it. (The kernel hands a parent's
    // children on and makes it a zombie in one step.)
    const char state = stat_of(actual).state;
    if (state == 0 || state == 'Z' || state == 'X') {
        reaping(st, pid, st.self);
        return;
    }
    // Released at once, while its parent lives: by the kernel, or by the
    // parent's wait, should it be in one.
    const auto parent = st.processes.find(actual);
    if (in_mask(status_field(actual, "SigIgn"), SIGCHLD))
        kernel_reaped(st, pid, parent_ignores_sigchld);
    else if (parent != st.processes.end() && parent->second.waiting > 0)
        p.gone = true;
    else
        kernel_reaped(st, pid, parent_asks_not_to_wait);
}

void died(trace& st, int tid, int status, int actual, bool there) // NOLINT(bugprone-easily-swappable-parameters): as process_ended
{
    const auto t = st.tasks.find(tid);
    if (t == st.tasks.end()) {
        // An orphan whose exit was collected while it was traced, and which
        // proctrace, having adopted it, has now reaped.
        const auto p = st.processes.find(tid);
        if (p != st.processes.end() && p->second.ended && !p->second.reaped)
            reaping(st, tid, st.self);
        return;
    }
    const int pid = t->second.pid;
    if (t->second.in_call && creates(t->second.call))
        st.lost.push_back({pid, tid});
    if (t->second.in_call && waits(t->second.call))
        st.processes[pid].waiting--;
    const std::int64_t exiting_at = t->second.exiting_at;
    // A task met before its creator's event stays announced past its end:
    // that event may yet come, and must not make it anew.
    st.tasks.erase(t);
    process& p = st.processes[pid];
    p.last_exit = std::max(p.last_exit, exiting_at >= 0 ? exiting_at : st.moment);
    if (tid == pid)
        process_ended(st, pid, status, actual, there);
    else if (exiting_at < 0)
        record(st, {.what = happening::ends, .pid = pid, .tid = tid});
}

// A task met at its first stop, before its creator's event, which may
// never come: its creator may have been killed at that event, or before
// it. Its parent is read from /proc, unless that parent is only its
// adopter, and it goes on at once.
void appeared(trace& st, int tid)
{
    const int pid = tgid_of(tid);
    st.tasks[tid] = {pid, true};
    event e{.what = happening::creates_thread, .pid = pid, .tid = pid, .other = tid};
    if (pid == tid) {
        creator by{stat_of(tid).parent, 0};
        const auto known = st.processes.find(by.pid);
        if ((known == st.processes.end() || known->second.ended) && !st.lost.empty()) {
            by = st.lost.front();
            st.lost.pop_front();
        }
        born(st, tid, by.pid);
        e = {.what = happening::forks, .pid = by.pid, .tid = by.tid == 0 ? by.pid : by.tid, .other = tid};
    }
    if (st.root_started)
        st.announced[tid] = record(st, std::move(e));
    resume(tid, PTRACE_CONT);
}

// A new task, reported by its creator's fork, vfork or clone event.
void created(trace& st, int parent_tid, int tid)
{
    const int parent = st.tasks[parent_tid].pid;
    const auto a = st.announced.find(tid);
    if (a != st.announced.end()) {
        // Met already, and perhaps ended already too: now its creator's own
        // thread is known. One that ended, announced by a creator other
        // than this one, was a task whose creator never told of it, and
        // whose id this new task has taken.
        event& e = st.events[a->second];
        const bool same = st.tasks.count(tid) != 0 || e.pid == parent;
        if (same && e.pid == parent)
            e.tid = parent_tid;
        st.announced.erase(a);
        if (same)
            return;
    }
    if (st.tasks.count(tid) != 0)
        return;
    const int pid = tgid_of(tid);
    st.tasks[tid].pid = pid;
    if (pid == tid) {
        born(st, tid, parent);
        record(st, {.what = happening::forks, .pid = parent, .tid = parent_tid, .other = tid});
    } else {
        record(st, {.what = happening::creates_thread, .pid = pid, .tid = parent_tid, .other = tid});
    }
}

void execed(trace& st, int tid)
{
    // The task that called exec now has the process's id; when it was not
    // the first thread, every other thread, the first included, has ended.
    unsigned long former = 0;
    if (ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former) != 0)
        former = static_cast<unsigned long>(tid);
    const int pid = st.tasks[tid].pid;
    int caller = 0;
    if (static_cast<int>(former) != tid) {
        caller = static_cast<int>(former);
        st.tasks.erase(caller);
        task& leader = st.tasks[tid];
        if (leader.in_call && waits(leader.call))
            st.processes[pid].waiting--;
        leader = {pid, true};
    }
    const happening what = tid == st.root && !st.root_started ? happening::starts : happening::execs;
    if (what == happening::starts) {
        clock_gettime(CLOCK_MONOTONIC, &st.start);
        st.moment = 0;
        st.root_started = true;
        // Any thread the child had is gone with the exec, and was never shown.
        std::erase_if(st.tasks, [&](const auto& t) { return t.second.pid == pid && t.first != tid; });
    }
    record(st, {.what = what, .pid = pid, .tid = tid, .other = caller, .code = lost_privileges(pid), .name = name_of(pid), .argv = argv_of(pid)});
}

// The zombie that a waitid with no siginfo reaped: a child of BY's that
// was a zombie and is no more.
int vanished(trace& st, int by, const task& t)
{
    const auto p = st.processes.find(by);
    if (p == st.processes.end())
        return 0;
    for (const int child : p->second.children) {
        const process& c = st.processes[child];
        if (c.parent != by || !c.ended || c.reaped || (t.args[0] == P_PID && t.args[1] != static_cast<std::uint64_t>(child)))
            continue;
        const stat_line seen = stat_of(child);
        if (c.gone || seen.state == 0 || seen.parent != by)
            return child;
    }
    return 0;
}

// Where the bytes of a write to FD come from, when they never pass
// through the program's memory: the file or pipe at FD, as /proc names it.
std::string source_of(int tid, std::uint64_t fd)
{
    return link_of("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd));
}

// The end of a call the seccomp filter stopped at: a write to standard
// output or error, or a wait that returned a zombie, which reaps it.
void call_returned(trace& st, int tid)
{
    task& t = st.tasks[tid];
    if (!t.in_call)
        return;
    t.in_call = false;
    if (waits(t.call))
        st.processes[t.pid].waiting--;
    __ptrace_syscall_info info{};
    if (!call_info(tid, info) || info.op != PTRACE_SYSCALL_INFO_EXIT)
        return;
    const auto result = static_cast<std::int64_t>(info.exit.rval);
    if (info.exit.is_error != 0) {
        // No child left to wait for: those that vanished while it waited
        // were never its to reap.
        if (waits(t.call) && result == -ECHILD) {
            for (const int child : st.processes[t.pid].children) {
                if (st.processes[child].gone && st.processes[child].parent == t.pid)
                    kernel_reaped(st, child, parent_asks_not_to_wait);
            }
        }
        return;
    }
    event e{.what = happening::writes, .pid = t.pid, .tid = tid, .bytes = result};
    std::uint64_t from = 0;   // the bytes' address in the program, when they pass through it
    switch (t.call) {
    case SYS_write:
    case SYS_pwrite64:
        e.fd = static_cast<int>(t.args[0]);
        from = t.args[1];
        break;
    case SYS_writev:
    case SYS_pwritev:
    case SYS_pwritev2:
    case SYS_vmsplice: {
        e.fd = static_cast<int>(t.args[0]);
        const auto first = peek_as<iovec>(tid, t.args[1]);
        from = reinterpret_cast<std::uintptr_t>(first.iov_base);
        e.text = peek(tid, from, std::min({static_cast<std::size_t>(result), first.iov_len, quoted_bytes}));
        break;
    }
    case SYS_sendfile:
        e.fd = static_cast<int>(t.args[0]);
        e.source = source_of(tid, t.args[1]);
        break;
    case SYS_splice:
    case SYS_copy_file_range:
        e.fd = static_cast<int>(t.args[2]);
        e.source = source_of(tid, t.args[0]);
        break;
    case SYS_wait4:
        if (result > 0 && st.processes.count(static_cast<int>(result)) != 0 && st.processes[static_cast<int>(result)].ended)
            reaping(st, static_cast<int>(result), t.pid);
        return;
    case SYS_waitid: {
        // WNOWAIT leaves the zombie; a null siginfo does not say which was reaped.
        if ((t.args[3] & WNOWAIT) != 0 || (t.args[3] & WEXITED) == 0)
            return;
        const int child = t.args[2] != 0 ? peek_as<siginfo_t>(tid, t.args[2]).si_pid : vanished(st, t.pid, t);
        if (child > 0 && st.processes.count(child) != 0 && st.processes[child].ended)
            reaping(st, child, t.pid);
        return;
    }
    default:
        return;
    }
    if ((e.fd != 1 && e.fd != 2) || result <= 0)
        return;
    if (from != 0 && e.text.empty())
        e.text = peek(tid, from, std::min(static_cast<std::size_t>(result), quoted_bytes));
    record(st, std::move(e));
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

// The terminal asked proctrace to stop as well as the program: once the
// program has stopped, and the other tasks the terminal stopped have been
// let stop (no report for a moment), proctrace stops too, so that the
// shell sees its job stopped and can continue it, as it would the program.
void stop_with_program(trace& st)
{
    st.stop_asked = -1;
    st.stop_due = true;
}

void stopped(trace& st, int tid, int status) // NOLINT(bugprone-easily-swappable-parameters): waitpid's own pair
{
    const auto t = st.tasks.find(tid);
    if (t == st.tasks.end()) {
        appeared(st, tid);
        return;
    }
    const int sig = WSTOPSIG(status);
    const int what = status >> 16;
    if (!t->second.started) {
        t->second.started = true;
        resume(tid, PTRACE_CONT);
        return;
    }
    const int pid = t->second.pid;
    switch (what) {
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE: {
        // Killed at this stop, the task can no longer say what it made: the
        // new task, when it stops, is its creator's.
        unsigned long child = 0;
        if (ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child) == 0 && child != 0)
            created(st, tid, static_cast<int>(child));
        else
            st.lost.push_back({pid, tid});
        t->second.in_call = false;
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
            t->second.in_call = true;
            t->second.call = info.seccomp.nr;
            std::copy(info.seccomp.args, info.seccomp.args + 6, t->second.args);
            if (waits(t->second.call))
                st.processes[pid].waiting++;
        }
        resume(tid, PTRACE_SYSCALL);
        return;
    }
    case PTRACE_EVENT_STOP: {
        // A group stop holds the task stopped until SIGCONT, as it would
        // without a tracer; any other such stop is its end.
        if (stopping(sig)) {
            process& p = st.processes[pid];
            if (!p.stopped)
                record(st, {.what = happening::stopped, .pid = pid, .tid = pid, .code = sig});
            p.stopped = true;
            resume(tid, PTRACE_LISTEN);
            if (pid == st.root && st.stop_asked >= 0 && st.moment - st.stop_asked < second)
                stop_with_program(st);
            return;
        }
        continued(st, pid);
        resume(tid, PTRACE_CONT);
        return;
    }
    case 0:
        break;
    default:   // the exit event
        // A thread's joiner, or a vfork child's parent, wakes before the
        // death can be collected, and may print first: the end is timed
        // here, while the task is held, so that it comes before anything
        // the join or the vfork lets happen.
        t->second.exiting_at = st.moment;
        if (tid != pid)
            record(st, {.what = happening::ends, .pid = pid, .tid = tid});
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
        continued(st, pid);
    if (pid == st.root)
        st.delivered[sig] = st.moment;
    resume(tid, PTRACE_CONT, sig);
}

// Reads what the kernel has to report of the tasks, until it has nothing
// more for now; false once no task is left. Each report is looked at
// before it is collected, so that an exiting process's parent at that
// moment is known: collecting it may release it.
bool drain(trace& st)
{
    for (;;) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT | __WALL) != 0) {
            if (errno == EINTR)
                continue;
            return false;   // ECHILD: all have ended
        }
        const int tid = info.si_pid;
        if (tid == 0)
            return true;
        const bool exit = info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
        const int actual = exit ? stat_of(tid).parent : 0;
        int status = 0;
        if (waitpid(tid, &status, __WALL) != tid)
            continue;
        st.moment = now(st);
        if (WIFSTOPPED(status))
            stopped(st, tid, status);
        else
            died(st, tid, status, actual, stat_of(tid).state != 0);
    }
}

// Whether SIG reached the program too: still pending there, or already on
// its way in (a delivery stop, collected now should it be waiting).
bool reached_program(trace& st, int sig)
{
    if (in_mask(status_field(st.root, "ShdPnd"), sig) || in_mask(status_field(st.root, "SigPnd"), sig))
        return true;
    drain(st);
    const auto seen = st.delivered.find(sig);
    return seen != st.delivered.end() && now(st) - seen->second < second;
}

// A signal that reached proctrace. Sent to the terminal's whole process
// group, it reached the program too; sent to proctrace alone, it is passed
// on to the program, once.
void signalled(trace& st, int sig)
{
    st.moment = now(st);
    const process& root = st.processes[st.root];
    if (root.ended) {
        if (stopping(sig))
            return;
        // Nothing of the program's own is left to pass it to: proctrace
        // ends as the signal asks, and its tracees with it.
        struct sigaction fall {};
        fall.sa_handler = SIG_DFL;
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        if (sigaction(sig, &fall, nullptr) == 0 && pthread_sigmask(SIG_UNBLOCK, &set, nullptr) == 0)
            static_cast<void>(raise(sig));
        return;
    }
    // A sender signalling the whole group may not have reached the program
    // yet: it is given a few milliseconds.
    bool reached = reached_program(st, sig);
    for (int tries = 0; !reached && tries < 4; tries++) {
        const timespec pause{0, 5000000};
        nanosleep(&pause, nullptr);
        reached = reached_program(st, sig);
    }
    if (!reached && !st.processes[st.root].ended)
        kill(st.root, sig);
    if (stopping(sig)) {
        st.stop_asked = now(st);
        if (st.processes[st.root].stopped)
            stop_with_program(st);
    }
}

// Only the calls the report needs stop the tracee: the ways to write, the
// waits, and the calls that make tasks (so that one killed inside such a
// call is known to have made one).
int filter_calls()
{
    const std::vector<std::uint32_t> calls{
        SYS_write, SYS_writev, SYS_pwrite64, SYS_pwritev, SYS_pwritev2, SYS_sendfile, SYS_splice, SYS_copy_file_range, SYS_vmsplice,
        SYS_wait4, SYS_waitid, SYS_clone, SYS_clone3,
#ifdef SYS_fork
        SYS_fork, SYS_vfork,
#endif
    };
    std::vector<sock_filter> code{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, native_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    // Each match jumps over the matches after it and the ALLOW, to TRACE.
    for (std::size_t i = 0; i < calls.size(); i++)
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, calls[i], static_cast<unsigned char>(calls.size() - i), 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE));
    sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
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

constexpr const char* usage_line = "usage: proctrace [-o FILE] PROGRAM [ARGUMENT...]\n";

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

// Why the kernel would not let proctrace trace: most often because
// proctrace is itself being traced (a task has one tracer at most).
void refused()
{
    const std::string tracer = status_field(getpid(), "TracerPid");
    const int by = static_cast<int>(std::strtol(tracer.c_str(), nullptr, 10));
    if (by > 0) {
        std::string name = name_of(by);
        std::replace_if(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
        static_cast<void>(std::fprintf(stderr, "proctrace: proctrace is itself being traced, by %s[%d], and a process can have only one tracer\n",
                                       name.c_str(), by));
        return;
    }
    static_cast<void>(std::fprintf(stderr, "proctrace: tracing is not allowed here: a container's seccomp profile, or "
                                           "kernel.yama.ptrace_scope, usually forbids it\n"));
}

} // namespace

int main(int argc, char* argv[])
{
    trace st;
    st.self = getpid();
    const char* output = nullptr;
    const option long_options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    for (int opt; (opt = getopt_long(argc, argv, "+o:", long_options, nullptr)) != -1;) { // NOLINT(concurrency-mt-unsafe): no other thread
        if (opt == 'h') {
            static_cast<void>(std::fputs(usage_line, stdout));
            return flush_output();
        }
        if (opt != 'o') {
            static_cast<void>(std::fputs(usage_line, stderr));
            return 2;
        }
        output = optarg;
    }
    if (optind == argc) {
        static_cast<void>(std::fputs(usage_line, stderr));
        return 2;
    }
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
    // Started by a parent that ignores SIGCHLD, proctrace would get no
    // SIGCHLD for its tracees' reports; the program gets what it was given.
    struct sigaction given {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    if (sigaction(SIGCHLD, &dfl, &given) != 0)
        return fail("sigaction", errno);
    clock_gettime(CLOCK_MONOTONIC, &st.start);
    st.root = fork();
    if (st.root < 0)
        return fail("fork", errno);
    if (st.root == 0) {
        static_cast<void>(sigaction(SIGCHLD, &given, nullptr));
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
        refused();
        return 1;
    }
    st.tasks[st.root] = {st.root, true};
    st.processes[st.root] = {st.self};
    close(go[1]);
    // Like time(1): Ctrl-C and Ctrl-\ are for the program, and the report
    // still comes. Hang-up, terminate and the terminal's stops are read
    // from a signalfd beside the tasks' reports, and passed on as sent.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGINT, &ignore, nullptr) != 0 || sigaction(SIGQUIT, &ignore, nullptr) != 0)
        return fail("sigaction", errno);
    sigset_t handled;
    sigemptyset(&handled);
    for (const int sig : {SIGCHLD, SIGTERM, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU})
        sigaddset(&handled, sig);
    if (const int err = pthread_sigmask(SIG_BLOCK, &handled, nullptr); err != 0)
        return fail("pthread_sigmask", err);
    pollfd signals{signalfd(-1, &handled, SFD_CLOEXEC), POLLIN, 0};
    if (signals.fd < 0)
        return fail("signalfd", errno);

    while (drain(st)) {
        // SIGCHLD comes with every report; the time-out is a guard only,
        // and the moment of quiet before proctrace stops with the program.
        const int ready = poll(&signals, 1, st.stop_due ? 20 : 100);
        if (ready < 0 && errno != EINTR)
            return fail("poll", errno);
        if (ready == 0 && st.stop_due) {
            st.stop_due = false;
            kill(st.self, SIGSTOP);
        }
        if (ready <= 0)
            continue;
        signalfd_siginfo got[8];
        const ssize_t n = read(signals.fd, got, sizeof got);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return fail("read", errno);
        if (!drain(st))
            break;
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof got[0]); i++) {
            if (got[i].ssi_signo != SIGCHLD)
                signalled(st, static_cast<int>(got[i].ssi_signo));
        }
    }
    // Vanished while its parent waited, and no wait returned it.
    for (auto& [pid, p] : st.processes) {
        if (p.gone)
            kernel_reaped(st, pid, parent_asks_not_to_wait);
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
    const int status = write_all(out, report(st.self, st.events, columns));
    if (status != 0)
        return status;
    if (out != STDERR_FILENO && close(out) != 0)
        return fail("close", errno);
    return st.root_status;
}
