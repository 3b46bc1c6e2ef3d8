// listwait: a child process replaces itself with "ls -l", and the parent waits
// for that very child with waitpid, so the listing always comes before the
// parent's line.
#include "launch.h"

int main()
{
    return launch(listwait);
}
