// What the tracer saw, as plain events: the report is made from a list of
// these alone, by code that knows nothing of how they were found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class happening : std::uint8_t {
    starts,          // the program the tracer started, at its exec
    forks,           // other: the new process
    creates_thread,  // other: the new thread
    execs,           // other: the calling thread's own tid, when it was not the first thread;
                     // code: the privileges the program file asks for and does not get (a mask of lost_*)
    writes,          // to standard output (fd 1) or standard error (fd 2)
    exits,           // code: the exit status
    killed,          // code: the signal; core: whether it dumped core
    ends,            // a thread other than its process's first
    stopped,         // code: the signal
    continues,
    orphaned,        // other: the process that adopted it
    reaped,          // other: the process whose wait returned it, or 0 when the kernel
                     // reaped it at once, for the reason in code (a reaped_by_kernel)
};

// Why the kernel reaped a process the moment it ended: what its parent asked for.
enum reaped_by_kernel : std::uint8_t {
    parent_ignores_sigchld = 1,   // SIGCHLD set to SIG_IGN
    parent_asks_not_to_wait = 2,  // SA_NOCLDWAIT
};

// Privileges that exec would have given the program, which ptrace withholds.
enum lost_privilege : std::uint8_t {
    lost_set_user_id = 1,
    lost_set_group_id = 2,
    lost_capabilities = 4,   // file capabilities
};

// How many of a write's first bytes the tracer keeps, and a run of writes quotes.
constexpr std::size_t quoted_bytes = 40;

struct event {
    std::int64_t ns = 0;   // since the program started
    happening what{};
    int pid = 0;           // the task's process
    int tid = 0;           // the task: pid for a process's first thread
    int other = 0;
    int code = 0;
    bool core = false;
    int fd = 0;
    std::int64_t bytes = 0;
    std::string text{};                // writes: the first bytes written, up to quoted_bytes
    std::string name{};                // starts, execs: the program's name from now on
    std::vector<std::string> argv{};   // starts, execs: the path, then the argument vector
    std::string source{};              // writes: where bytes that never passed through the
                                       // program's memory came from, as /proc names it
    // exits, killed: when its death could first be collected, which may be
    // after the moment it began to exit (ns); a zombie from then on.
    std::int64_t zombie_ns = -1;   // -1: at ns
};
