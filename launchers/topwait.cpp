// topwait: a child process replaces itself with top, and the parent waits with
// wait for any child to end, so "Child finished" appears only once the user
// has quit top (with q).
#include "launch.h"

int main()
{
    return launch(topwait);
}
