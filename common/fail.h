// How every program in the kit reports a failed call: one line on standard
// error, "PROGRAM: CALL: REASON", and a non-zero exit status for main to return.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

// Prints the line for CALL, which failed with error number ERR, and returns the
// exit status to end with. pthread calls return their error number; others set errno.
inline int fail(const char* call, int err)
{
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, call, std::strerror(err));
    return 1;
}

// Standard output is buffered when it is a pipe or a file, so a write that
// fails (a full disk, say) would otherwise go unnoticed at exit. Returns the
// exit status: 0 once everything printed has really been written.
inline int flush_output()
{
    if (std::fflush(stdout) == EOF)
        return fail("write", errno);
    return 0;
}
