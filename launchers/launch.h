// The one procedure behind listwait, topwait and listnowait: split the process
// with fork, replace the child with a program found through PATH, and have the
// parent wait for the child, or not, before it prints its line.
#pragma once

// What the parent waits for before it prints its line.
enum class wait_for {
    this_child, // waitpid on the child that fork made
    any_child,  // wait, for whichever child ends first
    nothing,    // no wait: the child may outlive the parent
};

// One launcher: what its child runs and what its parent waits for. Each
// launcher's main passes its row to launch, and predict works out from the
// same rows what each one prints and who reaps its child.
struct launcher {
    const char* name;
    const char* file;          // looked up through PATH
    const char* arg;           // its one argument, or null for none
    wait_for mode;
    const char* parent_line;   // printed by the parent once its wait is over
    const char* child_line;    // printed by the child if exec fails, or null
};

inline constexpr launcher listwait{"listwait", "ls", "-l", wait_for::this_child, "Parent still running...",
                                   "This will not print if exec succeeds."};
inline constexpr launcher topwait{"topwait", "top", nullptr, wait_for::any_child, "Child finished", nullptr};
inline constexpr launcher listnowait{"listnowait", "ls", "-l", wait_for::nothing, "Parent still running...",
                                     "This will not print if exec succeeds."};
inline constexpr launcher launchers[] = {listwait, topwait, listnowait};

// Starts L's file, looked up through PATH, in a child process with the
// argument vector FILE, ARG (no argument when ARG is null). Returns main's
// exit status, in whichever process returns:
// - the parent, after waiting as asked and printing the parent's line: 0;
//   or 1 when fork or the wait fails, with a line on standard error and no
//   parent's line;
// - the child, only when the replacement failed, after printing the child's
//   line (unless it is null) and a line on standard error: 127.
int launch(const launcher& l);
