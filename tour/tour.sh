#!/usr/bin/env bash
# The kit's main job: run each program once and show what it prints.
set -u
bin=$1

show() {
    printf '\n== %s: %s\n' "$1" "$2"
    "$bin/$1"
    printf '(exit status %d)\n' "$?"
}

show turnlock "two threads under Peterson's lock; the count always ends at 0"
show racecount "four threads with no lock; a count other than 10 shows lost updates"

# Shows what a program prints when it is given INPUT.
feed() {
    printf '\n== %s, given %s: %s\n' "$1" "$2" "$3"
    printf '%s\n' "$2" | "$bin/$1"
    printf '(exit status %d)\n' "$?"
}

feed factworker 5 "a worker computes 5! and hands it back through pthread_exit"
feed factworker 21 "21! does not fit in 64 bits: the product wraps around"
feed powerworker 1291 "the worker prints n, n squared and n cubed; the cube wraps at 32 bits"
