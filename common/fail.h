// How every program in the kit reports a failure: one line on standard error,
// "PROGRAM: WHAT: REASON", and a non-zero exit status for main to return.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

// Prints the line for WHAT (the call that failed, or what could not be done,
// followed by DETAIL when one is given), which failed with error number ERR,
// and returns the exit status to end with. pthread calls return their error
// number; the others set errno.
inline int fail(const char* what, int err, const char* detail = nullptr)
{
    // strerror_r, as a worker thread may be the one reporting.
    char buf[256];
    const char* reason = strerror_r(err, buf, sizeof buf);
    // A failed write to standard error leaves nowhere to report it.
    static_cast<void>(std::fprintf(stderr, "%s: %s%s%s: %s\n", program_invocation_short_name, what,
                                   detail != nullptr ? " " : "", detail != nullptr ? detail : "", reason));
    return 1;
}

// Standard output is buffered when it is a pipe or a file, so a write that
// fails (a full disk, say) would otherwise go unnoticed at exit. A write that
// failed earlier may have left its data in the buffer, to fail again here, or
// dropped it with the rest of that printf, leaving nothing to flush: the
// stream's error flag tells of both. Returns the exit status: 0 once
// everything printed has really been written.
inline int flush_output()
{
    if (std::fflush(stdout) == EOF || std::ferror(stdout) != 0)
        return fail("write", errno != 0 ? errno : EIO);
    return 0;
}
