#include "launch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fail.h"

int launch(const launcher& l)
{
    // Nothing may be printed before this point: the child would get a copy of
    // anything still in the stdio buffer, and print it a second time.
    const pid_t pid = fork();
    if (pid == -1)
        return fail("fork", errno);

    if (pid == 0) {
        execlp(l.file, l.file, l.arg, static_cast<char*>(nullptr));
        // Only a failed replacement comes back here.
        const int err = errno;
        if (l.child_line != nullptr)
            std::puts(l.child_line);
        fail("cannot run", err, l.file);
        // Returning from main, rather than calling _exit, flushes the line.
        // 127 is the shell's status for a command that could not be run.
        return 127;
    }

    // The child's exit status is not wanted, only its end.
    if (l.mode == wait_for::this_child && waitpid(pid, nullptr, 0) == -1)
        return fail("waitpid", errno);
    if (l.mode == wait_for::any_child && wait(nullptr) == -1)
        return fail("wait", errno);
    std::puts(l.parent_line);
    return flush_output();
}
