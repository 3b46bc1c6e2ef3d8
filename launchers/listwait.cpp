// listwait: a child process replaces itself with "ls -l", and the parent waits
// for that very child with waitpid, so the listing always comes before the
// parent's line.
#include "launch.h"

int main()
{
    return launch("ls", "-l", wait_for::this_child, "Parent still running...", "This will not print if exec succeeds.");
}
