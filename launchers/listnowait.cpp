// listnowait: a child process replaces itself with "ls -l", and the parent
// does not wait: it prints its line and exits at once, so the listing may come
// before or after that line, even after the shell's next prompt.
#include "launch.h"

int main()
{
    return launch(listnowait);
}
