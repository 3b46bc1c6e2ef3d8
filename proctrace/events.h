// What the tracer saw, as plain events: the report is made from a list of
// these alone, by code that knows nothing of how they were found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class happening : std::uint8_t {
    starts,          // the program the tracer started, at its exec
    forks,           // other: the new process
    creates_thread,  // other: the new thread
    execs,
    writes,          // to standard output (fd 1) or standard error (fd 2)
    exits,           // code: the exit status
    killed,          // code: the signal; core: whether it dumped core
    ends,            // a thread other than its process's first
    stopped,         // code: the signal
    continues,
    orphaned,        // other: the process that adopted it
    reaped,          // other: the process whose wait returned it
};

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
    std::string text{};                // writes: the first bytes written
    std::string name{};                // starts, execs: the program's name from now on
    std::vector<std::string> argv{};   // starts, execs: the path, then the argument vector
};
