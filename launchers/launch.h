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

// Starts FILE, looked up through PATH, in a child process with the argument
// vector FILE, ARG (ARG may be null, for no argument). Returns main's exit
// status, in whichever process returns:
// - the parent, after waiting as asked and printing PARENT_LINE: 0; or 1 when
//   fork or the wait fails, with a line on standard error and no PARENT_LINE;
// - the child, only when the replacement failed, after printing CHILD_LINE
//   (unless it is null) and a line on standard error: 127.
int launch(const char* file, const char* arg, wait_for mode, const char* parent_line, const char* child_line);
